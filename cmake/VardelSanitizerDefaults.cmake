# The project's sanitizer settings, carried by every instrumented executable of its own.
#
# ctest gives every test these settings through the environment (TSAN_OPTIONS and the others,
# see VARDEL_TEST_ENV in tests/CMakeLists.txt); that also serves the programs the tests run
# that are not built here. A program of ours that a test starts with an environment of its own
# (a cleaned one, or none at all) would lose them, and with them the suppressions: the detector
# would report what the project knows to hide, or, were an option missing, stop differently.
# So, in a sanitizer build, every executable that links vardel_common also compiles a small
# source that answers the runtime's hooks (__tsan_default_suppressions and the others) with the
# same settings. The suppressions are the text of the files in tests/sanitizers, read here, so
# that those files stay the one place where they are written; editing one reconfigures.
#
# A runtime reads its hooks first and its environment variable after: what the environment
# sets wins, option by option, and the environment's suppression file adds its lines to these.

# The options, besides the suppression files, shared with VARDEL_TEST_ENV.
set(VARDEL_TSAN_OPTIONS "halt_on_error=1:second_deadlock_stack=1")
set(VARDEL_ASAN_OPTIONS "verify_asan_link_order=0:detect_leaks=1:abort_on_error=1")
set(VARDEL_LSAN_OPTIONS "print_suppressions=0")
set(VARDEL_UBSAN_OPTIONS "print_stacktrace=1:halt_on_error=1")

set(VARDEL_SANITIZER_DIR ${CMAKE_SOURCE_DIR}/tests/sanitizers)

if(VARDEL_SANITIZE STREQUAL "")
    return()
endif()

# Reads a suppression file into a C++ raw string literal.
function(_vardel_suppressions_literal file out)
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(READ ${file} text)
    if(text MATCHES "\\)vardel\"")
        message(FATAL_ERROR "${file} holds the literal's closing delimiter )vardel\"")
    endif()
    set(${out} "R\"vardel(${text})vardel\"" PARENT_SCOPE)
endfunction()

# One hook: extern "C" const char *NAME() returning the literal VALUE (already quoted).
function(_vardel_hook name value)
    set(_vardel_hooks "${_vardel_hooks}
__attribute__((visibility(\"default\"))) const char *${name}()
{
    return ${value};
}
" PARENT_SCOPE)
endfunction()

set(_vardel_hooks "")
if(VARDEL_SANITIZE STREQUAL "thread")
    _vardel_suppressions_literal(${VARDEL_SANITIZER_DIR}/tsan.supp _vardel_tsan_suppressions)
    _vardel_hook(__tsan_default_suppressions "${_vardel_tsan_suppressions}")
    _vardel_hook(__tsan_default_options "\"${VARDEL_TSAN_OPTIONS}\"")
elseif(VARDEL_SANITIZE STREQUAL "address")
    _vardel_suppressions_literal(${VARDEL_SANITIZER_DIR}/lsan.supp _vardel_lsan_suppressions)
    _vardel_hook(__asan_default_options "\"${VARDEL_ASAN_OPTIONS}\"")
    _vardel_hook(__lsan_default_suppressions "${_vardel_lsan_suppressions}")
    _vardel_hook(__lsan_default_options "\"${VARDEL_LSAN_OPTIONS}\"")
    _vardel_hook(__ubsan_default_options "\"${VARDEL_UBSAN_OPTIONS}\"")
endif()
set(_vardel_defaults ${CMAKE_BINARY_DIR}/sanitizerdefaults.cpp)
file(CONFIGURE OUTPUT ${_vardel_defaults} CONTENT
"// Written by cmake/VardelSanitizerDefaults.cmake from tests/sanitizers: edit those files.
// The sanitizer runtime calls these hooks at start, before it reads its environment variable.
extern \"C\" {
@_vardel_hooks@
} // extern \"C\"
" @ONLY)
# Executables only: a static library that carried it would define the hooks twice in a program.
target_sources(vardel_common INTERFACE
    $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:${_vardel_defaults}>)
# Under ThreadSanitizer, Qt's copies of our buffers are watched too (see the file).
if(VARDEL_SANITIZE STREQUAL "thread")
    target_sources(vardel_common INTERFACE
        $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:${VARDEL_SANITIZER_DIR}/qtcopies.cpp>)
endif()
