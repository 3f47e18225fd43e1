# Installation extras and the Debian package.
#   qoro.pc             pkg-config file for clients of libqorocom and the
#                       public headers
#   qoro.bash-completion  bash completion for qoro
#   cpack -G DEB        quillet_<version>_<arch>.deb and, when the media
#                       plug-in is built, quillet-libav_<version>_<arch>.deb,
#                       their dependencies computed by dpkg-shlibdeps
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
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Staged with DESTDIR, so the package's install step sees CMAKE_INSTALL_PREFIX
# as the final /usr (qoro.pc is written from it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${QORO_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${QORO_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)

# One package per install component. Everything installed without a COMPONENT
# (CMake's default component, CMAKE_INSTALL_DEFAULT_COMPONENT_NAME when set)
# is the package quillet; the media plug-in (plugins/libav, COMPONENT libav)
# is the package quillet-libav. The plug-in links Debian's FFmpeg libraries,
# which hold GPL code: it stays out of quillet, which only recommends it, so
# installing quillet alone brings in no GPL code, and the components refuse
# the files only the plug-in reads with a cause that names quillet-libav.
if(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME)
  set(qoro_core_component ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
else()
  set(qoro_core_component Unspecified)
endif()
string(TOUPPER ${qoro_core_component} qoro_core_var)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${qoro_core_component})
set(CPACK_DEBIAN_${qoro_core_var}_PACKAGE_NAME quillet)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QORO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package's description starts with its own summary line. (CPack would
# put CPACK_PACKAGE_DESCRIPTION_SUMMARY, one text for every package, before
# each description; left unset, CPack's default is recognised and nothing is
# put before them.)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "batch MP3/WAV converter and scriptable audio file components
Quillet converts lists of MP3 files to WAV and WAV files to MP3 in one go,
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
# libraries and the plug-in have no versioned soname: they are loaded by path,
# never linked, and stay out of the shlibs file.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

if(TARGET qoro_libav)
  # The plug-in is only ever loaded by the components of the same build, so
  # both packages name each other at exactly this version.
  list(APPEND CPACK_COMPONENTS_ALL libav)
  set(CPACK_DEBIAN_LIBAV_PACKAGE_NAME quillet-libav)
  set(CPACK_DEBIAN_LIBAV_PACKAGE_SECTION sound)
  # dpkg-shlibdeps adds the FFmpeg libraries (libavformat59, libavcodec59,
  # libavutil57, ...) after this.
  set(CPACK_DEBIAN_LIBAV_PACKAGE_DEPENDS "quillet (= ${CPACK_PACKAGE_VERSION})")
  set(CPACK_DEBIAN_${qoro_core_var}_PACKAGE_RECOMMENDS "quillet-libav (= ${CPACK_PACKAGE_VERSION})")
  set(CPACK_DEBIAN_LIBAV_DESCRIPTION
      "more file formats for the Quillet components, through FFmpeg
This plug-in lets the QoroAudioFile and QoroAudioInformation components (and
so qoro, Quillet and every program that uses them) read M4A (AAC, ALAC),
WavPack, Monkey's Audio, TTA, Musepack SV8, Ogg FLAC, WMA, DSD, Matroska and
AC-3 files through FFmpeg's libraries libavformat, libavcodec and libavutil.
.
Debian builds those libraries with GPL parts, so a program that uses the
components loads GPL code when it opens such a file and this package is
installed. With QORO_NO_GPL_PLUGINS=1 in the environment the components do
not load the plug-in and refuse those files.")
  # Its own folder under /usr/share/doc: a copyright file that says what the
  # plug-in is under (our licence's text after it) and the notices.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE qoro_license_text)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/quillet-libav.copyright @ONLY CONTENT
"quillet-libav: qoro-libav.so, the media plug-in of Quillet

The plug-in is Quillet's own code, licensed under LGPL-2.1-or-later (the text
follows). It links FFmpeg's libavformat, libavcodec and libavutil as Debian
builds them, with GPL-2+ parts, so the plug-in as shipped, linked with them,
is covered by GPL-2.0-or-later (/usr/share/common-licenses/GPL-2). What it
links, and QORO_NO_GPL_PLUGINS=1, which keeps it from loading, are described
in /usr/share/doc/quillet-libav/NOTICES.

@qoro_license_text@")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/quillet-libav.copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillet-libav RENAME copyright COMPONENT libav)
  install(FILES ${PROJECT_SOURCE_DIR}/NOTICES
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillet-libav COMPONENT libav)
endif()

include(CPack)
