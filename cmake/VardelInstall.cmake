# What `cmake --install` puts where, and so what the Debian packages hold (cpack -G DEB runs
# the same rules with the prefix /usr). Three components:
#   vardel       the operator's program, the station, the desktop entries, icon and udev rules;
#   vardel-pack  the package maker's tool;
#   devtools     the simulated terminal and its modem-line shim, never packaged.
#
# The program reads its package from the configuration/ folder beside its executable, so it
# gets a folder of its own, with that configuration/ folder created empty, and the command
# `vardel` is a link to it. The program finds its folder through the link: Qt takes the
# application's directory from /proc/self/exe, which names the link's target.
include(GNUInstallDirs)

set(VARDEL_PROGRAM_DIR "/opt/vardel" CACHE PATH
    "Folder of the installed program; the operator puts the package in its configuration/ folder")
# udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d alike.
set(VARDEL_UDEV_RULES_DIR "lib/udev/rules.d")

install(TARGETS vardel RUNTIME DESTINATION ${VARDEL_PROGRAM_DIR} COMPONENT vardel)
install(DIRECTORY DESTINATION ${VARDEL_PROGRAM_DIR}/configuration COMPONENT vardel)

# The station updates every connected terminal at once from the same package folder.
set(_vardel_programs vardel)
if(TARGET vardel-station)
    install(TARGETS vardel-station RUNTIME DESTINATION ${VARDEL_PROGRAM_DIR} COMPONENT vardel)
    list(APPEND _vardel_programs vardel-station)
endif()

# bin/NAME -> VARDEL_PROGRAM_DIR/NAME. Made in the build tree and installed as links.
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging/bin")
foreach(_program IN LISTS _vardel_programs)
    set(_link "${CMAKE_BINARY_DIR}/packaging/bin/${_program}")
    file(CREATE_LINK "${VARDEL_PROGRAM_DIR}/${_program}" "${_link}" SYMBOLIC)
    install(FILES "${_link}" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vardel)
endforeach()

# Two entries in the desktop menu: the window for one terminal, and the workshop
# (vardel --atelier) for several at once.
install(FILES resources/vardel.desktop resources/vardel-atelier.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vardel)
install(FILES resources/com/tarvenix/images/logo_brovia_seul.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps RENAME vardel.png COMPONENT vardel)
install(FILES packaging/udev/60-vardel.rules packaging/udev/85-vardel-modemmanager.rules
    DESTINATION ${VARDEL_UDEV_RULES_DIR} COMPONENT vardel)
