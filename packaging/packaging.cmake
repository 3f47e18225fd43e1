# Installation extras and the Debian package.
#   qoro.pc             pkg-config file for clients of libqorocom and the
#                       public headers
#   qoro.bash-completion  bash completion for qoro
#   cpack -G DEB        quillet_<version>_<arch>.deb, its dependencies
#                       computed by dpkg-shlibdeps
# Included from the top-level CMakeLists.txt after every target exists.

# qoro.pc is written when installing, for the prefix installed into (the
# --prefix of cmake --install, or /usr inside the package), so its paths are
# right wherever the tree lands. pkg-config --define-prefix relocates an
# unpacked copy.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QORO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  set(qoro_pc_destination "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(QORO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(qoro_pc_destination "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QORO_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(QORO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
install(CODE "
  set(QORO_PC_LIBDIR [[${QORO_PC_LIBDIR}]])
  set(QORO_PC_INCLUDEDIR [[${QORO_PC_INCLUDEDIR}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/qoro.pc.in]] [[${CMAKE_BINARY_DIR}/packaging/qoro.pc]] @ONLY)
  file(INSTALL [[${CMAKE_BINARY_DIR}/packaging/qoro.pc]] DESTINATION \"${qoro_pc_destination}\")
")

install(FILES ${CMAKE_CURRENT_LIST_DIR}/qoro.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qoro)

# The Debian package: everything above under /usr. The programs and the
# components find libqorocom through their relative run paths, and the runtime
# finds the components in <libdir>/qoro/, so nothing is registered when the
# package is installed (the registry belongs to each user).
#
# dpkg-shlibdeps sees every library the programs and components link. The Qt
# plugins the window program loads at run time come with those libraries'
# packages: the platform plugins (xcb, offscreen) with libqt6gui6, the audio
# back ends with libqt6multimedia6, and the SVG image and icon plugins with
# libqt6svg6 (the art itself is drawn with QSvgRenderer, which links
# libQt6Svg directly). No extra dependency is needed.
set(QORO_PACKAGE_MAINTAINER "Quillet maintainers <maintainers@quillet.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillet")
set(CPACK_PACKAGE_CONTACT "${QORO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch MP3/WAV converter and scriptable audio file components")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Staged with DESTDIR, so the package's install step sees CMAKE_INSTALL_PREFIX
# as the final /usr (qoro.pc is written from it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${QORO_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${QORO_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QORO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the package's description; this is
# the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillet converts lists of MP3 files to WAV and WAV files to MP3 in one go,
from a small skinned window or without windows (quillet --batch).
.
It is built on two in-process components, QoroAudioFile (opens, decodes,
creates and encodes WAV, FLAC, MP3, MP2, Ogg Vorbis, MPEG Plus, VOX, G.72x, AVI
audio and raw files, exchanging 16-bit sample arrays with its caller) and
QoroAudioInformation (technical facts, tags and cue points), created through
the small component runtime libqorocom. The qoro command scripts them
(convert, info, tag); C++ programs use them through <qoro/AudioFile.h> and
pkg-config qoro.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libqorocom.so.1 is a public library: the package gets a shlibs file and runs
# ldconfig when installed and removed. (CPack warns that the component
# libraries have no versioned soname: they are loaded by path, never linked,
# and stay out of the shlibs file.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
