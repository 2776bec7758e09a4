# Settings shared by every target of the project, carried by one INTERFACE target.
add_library(vardel_common INTERFACE)
target_compile_definitions(vardel_common INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_FOREACH
    QT_DISABLE_DEPRECATED_BEFORE=0x050F00)
target_compile_options(vardel_common INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)

# The test suite's timing seam is compiled into the one file that reads it (model/model.cpp) and
# into the tests and benchmarks that use it, nowhere else: every other object is the same as
# the shipped build's, which can then take them from the compiler cache (scripts/test.sh).
add_library(vardel_testtimings INTERFACE)
if(VARDEL_TEST_TIMINGS)
    target_compile_definitions(vardel_testtimings INTERFACE VARDEL_TEST_TIMINGS)
endif()

# Hardened as Debian builds its own programs: checked libc calls where the compiler optimises,
# and relocations resolved and made read-only at start.
target_compile_definitions(vardel_common INTERFACE
    $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
target_link_options(vardel_common INTERFACE -Wl,-z,relro,-z,now)

if(VARDEL_SANITIZE STREQUAL "address")
    set(_vardel_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(VARDEL_SANITIZE STREQUAL "thread")
    set(_vardel_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT VARDEL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VARDEL_SANITIZE must be empty, 'address' or 'thread'")
endif()
# Every project target links vardel_common and so gets the sanitizers; the preloaded modem-line
# shim does not, because it is loaded into uninstrumented programs too.
# Line tables are all a sanitizer's report needs (functions, files, lines); full debug
# information would cost an eighth of the compile time; a debugger wants a build without
# sanitizers anyway.
if(_vardel_san)
    target_compile_options(vardel_common INTERFACE ${_vardel_san} -g1)
    target_link_options(vardel_common INTERFACE ${_vardel_san})
endif()

# The settings every instrumented executable carries for itself (suppressions and options).
include(${CMAKE_CURRENT_LIST_DIR}/VardelSanitizerDefaults.cmake)
