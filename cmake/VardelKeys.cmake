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
configure_file("${CMAKE_SOURCE_DIR}/crypto/keys.h.in" "${VARDEL_GENERATED_DIR}/crypto/keys.h" @ONLY)
