# What `cmake --install` puts where, and so what the Debian packages hold (cpack -G DEB runs
# the same rules with the prefix /usr). Three components:
#   vardel       the operator's program, its desktop entry, icon and udev rules;
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

# bin/vardel -> VARDEL_PROGRAM_DIR/vardel. Made in the build tree and installed as a link.
set(_vardel_link "${CMAKE_BINARY_DIR}/packaging/bin/vardel")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging/bin")
file(CREATE_LINK "${VARDEL_PROGRAM_DIR}/vardel" "${_vardel_link}" SYMBOLIC)
install(FILES "${_vardel_link}" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vardel)

install(FILES resources/vardel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT vardel)
install(FILES resources/com/tarvenix/images/logo_brovia_seul.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps RENAME vardel.png COMPONENT vardel)
install(FILES packaging/udev/60-vardel.rules packaging/udev/85-vardel-modemmanager.rules
    DESTINATION ${VARDEL_UDEV_RULES_DIR} COMPONENT vardel)
