# The marking of development-key builds (cmake -P, run by ctest): configured with the committed
# keys, or a copy of them, CMake warns and `cmake --install` refuses before installing anything;
# with keys from `vardel-pack keygen`, neither. This build installs when it may: other keys,
# or -DVARDEL_ALLOW_DEV_KEYS=ON.
# Variables: SOURCE_DIR BUILD_DIR WORK_DIR GENERATOR C_COMPILER CXX_COMPILER VARDEL_PACK
#            DEV_KEYS ALLOW_DEV_KEYS
set(warning "must never be given to operators")
set(refusal "it must never be installed for or given to operators")
file(REMOVE_RECURSE "${WORK_DIR}")
file(COPY "${SOURCE_DIR}/keys/dev/" DESTINATION "${WORK_DIR}/copy-of-dev-keys")
execute_process(COMMAND "${VARDEL_PACK}" keygen "${WORK_DIR}/other-keys" OUTPUT_QUIET
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "vardel-pack keygen failed")
endif()

# Runs COMMAND...; OUT receives its status and its output on one line.
function(run out)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    string(REGEX REPLACE "[ \n]+" " " output "${output}")
    set(${out} "${result}: ${output}" PARENT_SCOPE)
endfunction()

# Each case: a configuration of the project with nothing to build, then its install.
foreach(case "dev;${SOURCE_DIR}/keys/dev;1" "copy;${WORK_DIR}/copy-of-dev-keys;1"
             "other;${WORK_DIR}/other-keys;0")
    list(GET case 0 name)
    list(GET case 1 keys)
    list(GET case 2 dev)
    run(configured "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/${name}" -G "${GENERATOR}"
        "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
        -DVARDEL_BUILD_TESTS=OFF -DVARDEL_BUILD_TOOLS=OFF -DVARDEL_BUILD_BENCH=OFF
        "-DVARDEL_KEY_DIR=${keys}")
    run(installed "${CMAKE_COMMAND}" --install "${WORK_DIR}/${name}" --prefix "${WORK_DIR}/${name}/p")
    string(FIND "${configured}" "${warning}" warned)
    string(FIND "${installed}" "${refusal}" refused)
    if(NOT configured MATCHES "^0: " OR (dev AND (warned LESS 0 OR refused LESS 0 OR
       EXISTS "${WORK_DIR}/${name}/p")) OR (NOT dev AND (warned GREATER -1 OR refused GREATER -1)))
        message(FATAL_ERROR "${name} keys:\nconfigure ${configured}\ninstall ${installed}")
    endif()
    message(STATUS "${name} keys: warned and refused only if development keys (${dev})")
endforeach()

# This build, installed for real when it may be.
if(NOT DEV_KEYS OR ALLOW_DEV_KEYS)
    run(installed "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/own")
    if(NOT installed MATCHES "^0: " OR NOT EXISTS "${WORK_DIR}/own/bin/vardel")
        message(FATAL_ERROR "this build did not install: ${installed}")
    endif()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
