# The Debian package kzr-effects: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr packs what `cmake --install` installs.  The
# library dependencies come from dpkg-shlibdeps; the gallery labels of fxhost
# need DejaVu Sans and its video rendering ffmpeg; the plug-ins are for the
# frei0r hosts and the editors built on MLT, the GEGL operations (which bring
# libgegl in as a dependency) for GIMP and the gegl command line, and the OBS
# Studio plug-in (which makes libobs0 a dependency).
set(CPACK_PACKAGE_NAME kzr-effects)
set(CPACK_PACKAGE_VENDOR "KZR")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Ten geometric distortion effects as frei0r plug-ins, GEGL operations and OBS filters, with fxhost")
set(CPACK_PACKAGE_DESCRIPTION
  "Ten geometric distortion effects (mirror, squeeze, stretch, tri-stretch, fish-eye, drain,
laser, square, S-shape) as frei0r filter plug-ins for FFmpeg, GStreamer and MLT,
with effect descriptions for Kdenlive and Shotcut in English and German, as GEGL
operations for GIMP and the gegl command line, as video filters for OBS Studio,
and the command-line tool fxhost.")
# Debian packages install into /usr, whatever prefix the build was
# configured with; the layout below the prefix is the same.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KZR effects maintainers <kzr-effects@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The module and the plug-ins are loaded with dlopen; dpkg-shlibdeps scans
# every shared object in the package, so their own library needs (libstdc++,
# oneTBB) are found all the same.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "melt, kdenlive, shotcut, obs-studio, gstreamer1.0-plugins-bad, gimp, gegl, python3-distributed")
set(CPACK_STRIP_FILES ON)
# Kdenlive takes its effect categories from one file of its own package; the
# maintainer scripts divert it and write it with the effects' group added
# (cmake/deb/preinst, postinst, postrm), again whenever a package changes
# /usr/share/kdenlive (the trigger).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/cmake/deb/preinst;${CMAKE_SOURCE_DIR}/cmake/deb/postinst;${CMAKE_SOURCE_DIR}/cmake/deb/postrm;${CMAKE_SOURCE_DIR}/cmake/deb/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
