# Run by CPack after it has built the Debian packages (CPACK_POST_BUILD_SCRIPTS): gives each
# package the Installed-Size that its files take, counted as dpkg-gencontrol counts it (each
# regular file and symbolic link in whole KiB, each directory 1 KiB), and builds it again.
#
# CPack's own figure is the sum of stat(2) over the staged files, which follows symbolic links:
# the link /usr/bin/vardel -> /opt/vardel/vardel is counted as whatever that path holds on the
# machine that builds the package (an unstripped program installed there earlier: 27 MB), and
# every directory as 4 KiB.

# The size in KiB of the tree under `root`, the tree's own directory included.
function(vardel_installed_size root out)
    # Symbolic links are not followed (no FOLLOW_SYMLINKS): each counts as itself.
    file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${root}" "${root}/*")
    set(kib 1)
    foreach(relative IN LISTS entries)
        if(relative MATCHES "^DEBIAN(/|$)")
            continue()
        endif()
        set(entry "${root}/${relative}")
        if(IS_SYMLINK "${entry}")
            file(READ_SYMLINK "${entry}" target)
            string(LENGTH "${target}" bytes)
        elseif(IS_DIRECTORY "${entry}")
            math(EXPR kib "${kib} + 1")
            continue()
        else()
            file(SIZE "${entry}" bytes)
        endif()
        math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endforeach()
    set(${out} ${kib} PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    get_filename_component(name "${deb}" NAME_WLE)
    set(tree "${CPACK_TOPLEVEL_DIRECTORY}/installed-size/${name}")
    file(REMOVE_RECURSE "${tree}")
    file(MAKE_DIRECTORY "${tree}")
    execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot unpack ${deb}")
    endif()
    vardel_installed_size("${tree}" kib)
    file(READ "${tree}/DEBIAN/control" control)
    string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${deb}"
        OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot build ${deb} again")
    endif()
    file(REMOVE_RECURSE "${tree}")
    message(STATUS "${name}: Installed-Size ${kib} KiB")
endforeach()
