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

# A build with the committed development keys (the same package key or the same signing
# modulus as keys/dev, wherever the directory lies) is marked as such: this warning, a line in
# the program's log after the start banner and "Clés de développement" in its About dialog.
set(VARDEL_DEV_KEYS OFF)
set(_vardel_dev_dir "${CMAKE_SOURCE_DIR}/keys/dev")
if(EXISTS "${_vardel_dev_dir}/package.key" AND EXISTS "${_vardel_dev_dir}/signing-modulus.hex")
    vardel_read_hex_key("${_vardel_dev_dir}/package.key" 32 "^[0-9a-fA-F]+$"
        "development package key" "32 hexadecimal digits" _vardel_dev_package)
    vardel_read_hex_key("${_vardel_dev_dir}/signing-modulus.hex" 512 "^[89a-fA-F][0-9a-fA-F]+$"
        "development signing key" "a 2048-bit modulus as 512 hexadecimal digits" _vardel_dev_modulus)
    foreach(_vardel_key _vardel_dev_package _vardel_dev_modulus VARDEL_PACKAGE_KEY_BYTES
            VARDEL_SIGNING_MODULUS_BYTES)
        string(TOLOWER "${${_vardel_key}}" ${_vardel_key})
    endforeach()
    if(_vardel_dev_package STREQUAL VARDEL_PACKAGE_KEY_BYTES OR
       _vardel_dev_modulus STREQUAL VARDEL_SIGNING_MODULUS_BYTES)
        set(VARDEL_DEV_KEYS ON)
    endif()
endif()
if(VARDEL_DEV_KEYS)
    message(WARNING "Vardel is built with the development keys (VARDEL_KEY_DIR=${VARDEL_KEY_DIR}), "
        "which are public: anyone can seal and sign a package that this build accepts. This "
        "build must never be given to operators. For operators, build with "
        "-DVARDEL_KEY_DIR=DIR, DIR holding keys made by `vardel-pack keygen DIR`.")
    set(VARDEL_DEV_KEYS_CXX true)
else()
    set(VARDEL_DEV_KEYS_CXX false)
endif()

configure_file("${CMAKE_SOURCE_DIR}/crypto/keys.h.in" "${VARDEL_GENERATED_DIR}/crypto/keys.h" @ONLY)

# `cmake --install`, and CPack, which runs the same install step, refuse a build with the
# development keys unless the maker asks for it. The refusal is the first install rule (this
# file is included before any subdirectory), so that nothing is installed at all; a plain build
# is not affected.
option(VARDEL_ALLOW_DEV_KEYS
    "Allow cmake --install and packages of a build with the development keys (demo, tests)" OFF)
if(VARDEL_DEV_KEYS AND NOT VARDEL_ALLOW_DEV_KEYS)
    set(_vardel_refusal [[message(FATAL_ERROR "This Vardel build holds the development keys of "
    "keys/dev, which are public: it must never be installed for or given to operators. Build "
    "with -DVARDEL_KEY_DIR=DIR (keys made by `vardel-pack keygen DIR`), or configure with "
    "-DVARDEL_ALLOW_DEV_KEYS=ON to install it for development only.")]])
    if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.21)
        install(CODE "${_vardel_refusal}" ALL_COMPONENTS)
    else()
        install(CODE "${_vardel_refusal}")
    endif()
endif()
