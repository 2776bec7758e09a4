# Keys compiled into the program. VARDEL_KEY_DIR holds the files that `vardel-pack keygen DIR`
# writes; by default the committed development keys, which must never sign a real package.
set(VARDEL_KEY_DIR "${CMAKE_SOURCE_DIR}/keys/dev" CACHE PATH
    "Directory with package.key (and the signing public key) compiled into the program")

# Reads FILE (a key written by `vardel-pack keygen`: hexadecimal digits, white space ignored)
# into OUT as C initialiser bytes "0x12, 0x34, ...". It must hold DIGITS digits matching
# PATTERN; WHAT names the key when it is missing, FORMAT says what it must hold.
function(vardel_read_hex_key file digits pattern what format out)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "No ${what} at ${file}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    file(READ "${file}" _hex)
    string(REGEX REPLACE "[ \t\r\n]" "" _hex "${_hex}")
    string(LENGTH "${_hex}" _length)
    if(NOT _length EQUAL digits OR NOT _hex MATCHES "${pattern}")
        message(FATAL_ERROR "${file} must hold ${format}")
    endif()
    string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " _bytes "${_hex}")
    set(${out} "${_bytes}" PARENT_SCOPE)
endfunction()

vardel_read_hex_key("${VARDEL_KEY_DIR}/package.key" 32 "^[0-9a-fA-F]+$" "package key"
    "32 hexadecimal digits" VARDEL_PACKAGE_KEY_BYTES)

set(VARDEL_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")

# The public half of the signing key: signing-modulus.hex holds the RSA-2048 modulus n as 512
# hexadecimal digits (line breaks allowed; the public exponent is always 65537). The private
# half, signing-private.pem, is read by vardel-pack only and never compiled into the program.
vardel_read_hex_key("${VARDEL_KEY_DIR}/signing-modulus.hex" 512 "^[89a-fA-F][0-9a-fA-F]+$"
    "signing public key" "a 2048-bit modulus as 512 hexadecimal digits"
    VARDEL_SIGNING_MODULUS_BYTES)
# Where vardel-pack looks for the private key when `sign` is given no --key.
set(VARDEL_SIGNING_PRIVATE_KEY "${VARDEL_KEY_DIR}/signing-private.pem")

configure_file("${CMAKE_SOURCE_DIR}/crypto/keys.h.in" "${VARDEL_GENERATED_DIR}/crypto/keys.h" @ONLY)
