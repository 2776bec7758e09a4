# Keys compiled into the program. VARDEL_KEY_DIR holds the files that `vardel-pack keygen DIR`
# writes; by default the committed development keys, which must never sign a real package.
set(VARDEL_KEY_DIR "${CMAKE_SOURCE_DIR}/keys/dev" CACHE PATH
    "Directory with package.key (and the signing public key) compiled into the program")

set(_package_key_file "${VARDEL_KEY_DIR}/package.key")
if(NOT EXISTS "${_package_key_file}")
    message(FATAL_ERROR "No package key at ${_package_key_file}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_package_key_file}")
file(READ "${_package_key_file}" _package_key_hex)
string(STRIP "${_package_key_hex}" _package_key_hex)
if(NOT _package_key_hex MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "${_package_key_file} must hold 32 hexadecimal digits")
endif()
string(LENGTH "${_package_key_hex}" _package_key_len)
if(NOT _package_key_len EQUAL 32)
    message(FATAL_ERROR "${_package_key_file} must hold 32 hexadecimal digits")
endif()
string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " VARDEL_PACKAGE_KEY_BYTES "${_package_key_hex}")

set(VARDEL_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")

# The public half of the signing key: signing-modulus.hex holds the RSA-2048 modulus n as 512
# hexadecimal digits (line breaks allowed; the public exponent is always 65537). The private
# half, signing-private.pem, is read by vardel-pack only and never compiled into the program.
set(_signing_modulus_file "${VARDEL_KEY_DIR}/signing-modulus.hex")
if(NOT EXISTS "${_signing_modulus_file}")
    message(FATAL_ERROR "No signing public key at ${_signing_modulus_file}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_signing_modulus_file}")
file(READ "${_signing_modulus_file}" _signing_modulus_hex)
string(REGEX REPLACE "[ \t\r\n]" "" _signing_modulus_hex "${_signing_modulus_hex}")
string(LENGTH "${_signing_modulus_hex}" _signing_modulus_len)
if(NOT _signing_modulus_len EQUAL 512 OR NOT _signing_modulus_hex MATCHES "^[89a-fA-F][0-9a-fA-F]+$")
    message(FATAL_ERROR
        "${_signing_modulus_file} must hold a 2048-bit modulus as 512 hexadecimal digits")
endif()
string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " VARDEL_SIGNING_MODULUS_BYTES
    "${_signing_modulus_hex}")
# Where vardel-pack looks for the private key when `sign` is given no --key.
set(VARDEL_SIGNING_PRIVATE_KEY "${VARDEL_KEY_DIR}/signing-private.pem")

configure_file("${CMAKE_SOURCE_DIR}/crypto/keys.h.in" "${VARDEL_GENERATED_DIR}/crypto/keys.h" @ONLY)
