# The Debian package, built by CPack (scripts/package.sh): one package with
# the four programs and everything dist/ installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vr20-loader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VR20 Loader developers")
set(VR20_PACKAGE_MAINTAINER "VR20 Loader developers <vr20-loader@example.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${VR20_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for the Quorinel VR20 satellite-dish positioner")
set(CPACK_PACKAGE_DESCRIPTION
    "A window to read, edit, save and write back the VR20 positioner box's list
of satellites, read and set its soft limits, and update its firmware over a
serial line. Also vr20-box (the same conversations from the command line),
vr20-pack (firmware packages from S-record images) and vr20-boxsim (a
simulated box on a pseudo-terminal, for training without hardware).
A udev rule gives the user at the local seat USB serial adapters.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# CPack installs what scripts/package.sh has built, without first building
# every target (tests and benchmarks are not packaged).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Library dependencies are computed from the programs. The form's faces are
# not linked, so they are named by hand: Depends rather than Recommends,
# because the window lays its text out in fixed places measured with these
# faces (another face gets clipped), and installs with
# --no-install-recommends, as scripts/packages.sh makes them, would leave
# them out.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, fonts-liberation2")

# What Debian wants beside every package: the license in its machine-readable
# copyright format (from LICENSE, the one copy of the text) and the changelog,
# compressed without a name or time inside.
set(VR20_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vr20-loader)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vr20_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*)$" vr20_matched "${vr20_license}")
set(vr20_holder "${CMAKE_MATCH_1}")
# Each line of the notice indented by one space, an empty one as " .".
string(STRIP "${CMAKE_MATCH_2}" vr20_notice)
string(REPLACE "\n\n" "\n.\n" vr20_notice "${vr20_notice}")
string(REPLACE "\n" "\n " vr20_notice "${vr20_notice}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: vr20-loader\n\n"
     "Files: *\n"
     "Copyright: ${vr20_holder}\n"
     "License: Expat\n ${vr20_notice}\n")
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${VR20_DOC_DIR})

# Reload udev after installing and removing, where it runs.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
