# Installation and the release archives (CPack).
#
# Windows: a zip of one folder holding the static vlfwu.exe, the technicians' guide (with CR LF
#          line ends so that every Notepad shows it) and vlfwu-log.bat, which runs it with a
#          support log beside it.
# Linux:   vlfwu in bin; the simulated switch and the image tool, aids for developing and
#          testing, in libexec/vlfwu (the tools component), out of the PATH: a "mkimage" in
#          bin would shadow U-Boot's tool of that name. A tar.gz, and a .deb on Debian.
# The archives are named vlfwu-<project version>-<system> (win64, Linux); the .deb in
# Debian's way. Two builds of one commit give the same bytes in every package, and
# SHA256SUMS beside them lists their SHA-256 sums (see "Reproducible packages" below).
include(GNUInstallDirs)

set(vlfwu_guide ${CMAKE_BINARY_DIR}/packaging/vlfwu-guide.txt)
if(WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/guide.txt.in ${vlfwu_guide} @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS vlfwu RUNTIME DESTINATION . COMPONENT program)
  install(FILES ${vlfwu_guide} DESTINATION . COMPONENT program)
  # The support log without typing a variable; cmd.exe wants CR LF in a batch file.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/vlfwu-log.bat ${CMAKE_BINARY_DIR}/packaging/vlfwu-log.bat @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/vlfwu-log.bat DESTINATION . COMPONENT program)
  set(CPACK_GENERATOR ZIP)
else()
  # The guide written for Linux: device paths and the dialout group, no COM ports.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/guide-linux.txt.in ${vlfwu_guide} @ONLY)
  install(TARGETS vlfwu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${vlfwu_guide} ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT program)
  if(TARGET switch-sim AND TARGET mkimage)
    install(TARGETS switch-sim mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vlfwu
            COMPONENT tools)
  endif()
  set(CPACK_GENERATOR TGZ)
  # The .deb's architecture and dependencies come from dpkg, so only where it is.
  find_program(VLFWU_DPKG dpkg)
  if(VLFWU_DPKG)
    list(APPEND CPACK_GENERATOR DEB)
  endif()
endif()

set(CPACK_PACKAGE_NAME vlfwu)
set(CPACK_PACKAGE_VENDOR "Valtrane Audio")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update utility for Valtrane audio matrix switches")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Valtrane Audio")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(VLFWU_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VLFWU_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# Reproducible packages, whatever files were installed into them: every time stamp is the
# commit's time, from before CPack installs the files (cmake/cpack_source_date.cmake); the
# zip and tar.gz are written again in sorted order, and the sums beside them
# (cmake/cpack_release_files.cmake).
set(CPACK_VLFWU_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_VLFWU_CMAKE ${CMAKE_COMMAND})
# Outside git: 2026-01-01 00:00:00 UTC.
set(CPACK_VLFWU_FALLBACK_EPOCH 1767225600)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_source_date.cmake)
list(APPEND CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/cpack_release_files.cmake)

include(CPack)
