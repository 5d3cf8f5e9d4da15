# `cpack -G DEB` in the build folder makes pellara_<version>_<arch>.deb from
# what `cmake --install` installs: the programs and the files in data/.
set(CPACK_PACKAGE_NAME pellara)
set(CPACK_PACKAGE_VENDOR "The Pellara developers")
set(CPACK_PACKAGE_CONTACT "The Pellara developers <pellara@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "single-image stereogram composer")
set(CPACK_PACKAGE_DESCRIPTION
    "Pellara makes single-image stereograms (autostereograms) from a depth\n\
picture and a pattern tile. Its window takes both by drag and drop and\n\
shows the stereogram beside them; it saves in any format the installed\n\
image codecs write. The tool pellara-fuse does the same from files;\n\
pellara-depth makes the depth picture from a phone's portrait photo, any\n\
picture, a 3D model or a few words.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the shared libraries the programs link (dpkg-shlibdeps,
# from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pellara-depth --text needs a font installed; no library names one.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
# Qt's extra image plugins read what none of our own translators takes
# (ICNS, WBMP, MNG); the icon is an SVG, drawn by Qt's SVG icon engine
# (qt6-svg-plugins from Debian 13 on, libqt6svg6 before).
# FFmpeg's JPEG decoder and converter, loaded at run time, read 12-bit and
# lossless JPEG; with its demuxers and muxers (libavformat) pellara-fuse
# reads and writes video (Debian 12's names; libavcodec59 brings libx264 and
# libvpx, and libavutil comes with them).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "qt6-image-formats-plugins, qt6-svg-plugins | libqt6svg6, libavcodec59, libswscale6, libavformat59")

include(CPack)
