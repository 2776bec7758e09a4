# Debian packages, made with `cpack -G DEB` in the build directory:
#   vardel_<version>_<arch>.deb       for operators (component vardel);
#   vardel-pack_<version>_<arch>.deb  for package makers (component vardel-pack).
# The simulated terminal and the modem-line shim (component devtools) go into neither.
#
# Dependencies are computed from the binaries (dpkg-shlibdeps). Each package carries its
# copyright, changelog and manual page and, for vardel, the lintian override of its /opt
# folder.

set(_pkg "${CMAKE_BINARY_DIR}/packaging")
set(_debian "${CMAKE_SOURCE_DIR}/packaging/debian")

# Each package's changelog and manual page, compressed as Debian wants them (gzip -9n: no
# name, no time stamp), and its copyright. The Debian documents go into the packages only
# (EXCLUDE_FROM_ALL: installed by a component's installation, which cpack makes, and not by
# a plain `cmake --install`).
function(vardel_gzip source output)
    add_custom_command(OUTPUT "${output}"
        COMMAND gzip -9nc "${source}" > "${output}"
        DEPENDS "${source}" VERBATIM)
endfunction()
foreach(_name vardel vardel-pack)
    set(VARDEL_PACKAGE_NAME ${_name})
    configure_file("${_debian}/changelog.in" "${_pkg}/${_name}/changelog" @ONLY)
    configure_file("${CMAKE_SOURCE_DIR}/packaging/man/${_name}.1" "${_pkg}/${_name}/${_name}.1" @ONLY)
    vardel_gzip("${_pkg}/${_name}/changelog" "${_pkg}/${_name}/changelog.gz")
    vardel_gzip("${_pkg}/${_name}/${_name}.1" "${_pkg}/${_name}/${_name}.1.gz")
    list(APPEND _package_docs "${_pkg}/${_name}/changelog.gz" "${_pkg}/${_name}/${_name}.1.gz")
    install(FILES "${_pkg}/${_name}/changelog.gz" "${_debian}/copyright"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name} COMPONENT ${_name} EXCLUDE_FROM_ALL)
    install(FILES "${_pkg}/${_name}/${_name}.1.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_name})
endforeach()
# The station goes into the operator's package, beside the program, with a manual page of its
# own.
if(TARGET vardel-station)
    set(VARDEL_PACKAGE_NAME vardel)
    configure_file("${CMAKE_SOURCE_DIR}/packaging/man/vardel-station.1"
        "${_pkg}/vardel/vardel-station.1" @ONLY)
    vardel_gzip("${_pkg}/vardel/vardel-station.1" "${_pkg}/vardel/vardel-station.1.gz")
    list(APPEND _package_docs "${_pkg}/vardel/vardel-station.1.gz")
    install(FILES "${_pkg}/vardel/vardel-station.1.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vardel)
endif()
add_custom_target(vardel_package_docs ALL DEPENDS ${_package_docs})

install(FILES "${_debian}/vardel.lintian-overrides"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vardel COMPONENT vardel
    EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME vardel)
set(CPACK_PACKAGE_VENDOR "Tarvenix")
set(CPACK_PACKAGE_CONTACT "Vardel developers <vardel@tarvenix.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.tarvenix.example/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "vardel-${PROJECT_VERSION}") # other generators

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vardel vardel-pack)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # <name>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack counts the installed size through the links to /opt/vardel, on the building machine:
# each package is given the size of its own files instead.
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_SOURCE_DIR}/cmake/DebInstalledSize.cmake")

set(CPACK_DEBIAN_VARDEL_PACKAGE_NAME vardel)
# Each package's description starts with its own synopsis line. An empty common summary keeps
# CPack from putting the project's summary in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_VARDEL_DESCRIPTION "Payment terminal software update tool
Vardel updates the software of a Tarvenix or Quelmo payment terminal
attached to the PC by a serial link. The operator puts the package in
/opt/vardel/configuration/, starts the program and presses one button:
the program checks the package's signature, finds the terminal,
installs the package and writes every step to a dated log file.
vardel-station installs it on every connected terminal at once.
.
udev rules give the user seated at the PC access to the terminals'
ports and keep ModemManager away from them.")
set(CPACK_DEBIAN_VARDEL_PACKAGE_RECOMMENDS "pcscd")
set(CPACK_DEBIAN_VARDEL_PACKAGE_CONTROL_EXTRA "${_debian}/postinst;${_debian}/postrm")

set(CPACK_DEBIAN_VARDEL-PACK_PACKAGE_NAME vardel-pack)
set(CPACK_DEBIAN_VARDEL-PACK_DESCRIPTION "package maker's tool for Vardel
vardel-pack prepares the packages that Vardel installs on payment
terminals: it makes signing and package keys, seals and unseals package
files, signs configuration.xml and checks a whole package as the
program would read it.")

include(CPack)
