# The Debian package, made by CPack (scripts/package.sh: a release build
# configured with the prefix /usr, then cpack -G DEB). The install rules give
# its files; cmake/PackageFinish.cmake then turns the staged tree into what
# Debian expects of a package (see there).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vidlomat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Vidlomat developers")
set(CPACK_PACKAGE_CONTACT "The Vidlomat developers <${VIDLOMAT_SUPPORT_EMAIL}>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VIDLOMAT_WEBSITE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert videos into MP4 files for portable media players")
# The long description (CPack puts the summary above it).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vidlomat converts a batch of video files, one after another, into MP4 files
(MPEG-4 video with AAC sound) that portable media players, phones and
computers play. It reads AVI, DivX, Xvid, MPEG, WMV, ASF, Real Video, VCD,
QuickTime and Flash files, offers eight quality profiles or free choice of
picture size, frame rate, bit rates and sound channels, and converts several
files at the same time.
.
The package holds the window (vidlomat) and the command-line converter
(vidlomat-cli).")

# The programs load the media libraries themselves (LibAV/), so no tool can
# read these from the executables: the runtime packages of the major versions
# the headers were built for, which the programs insist on. The native AAC
# encoder is part of libavcodec. The rest is what the programs link: the C and
# C++ runtimes and Qt 6 (libqt6gui6 holds the desktop's platform plugins).
# Burned-in subtitles are written in DejaVu Sans (libass finds it through
# fontconfig).
set(VIDLOMAT_PACKAGE_DEPENDS
  libavcodec${VIDLOMAT_AVCODEC_MAJOR} libavfilter${VIDLOMAT_AVFILTER_MAJOR}
  libavformat${VIDLOMAT_AVFORMAT_MAJOR} libavutil${VIDLOMAT_AVUTIL_MAJOR}
  libswresample${VIDLOMAT_SWRESAMPLE_MAJOR} libswscale${VIDLOMAT_SWSCALE_MAJOR}
  "libc6 (>= 2.34)" "libgcc-s1 (>= 3.0)" "libstdc++6 (>= 12)"
  "libqt6core6 (>= 6.4.0)" "libqt6dbus6 (>= 6.4.0)" "libqt6gui6 (>= 6.4.0)" "libqt6widgets6 (>= 6.4.0)"
  fonts-dejavu-core)
list(JOIN VIDLOMAT_PACKAGE_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

# Read by cmake/PackageFinish.cmake: each LibAV/ link as "name=target", the
# target relative and by the distribution's soname link, so the installed
# links follow the libraries' updates.
set(CPACK_VIDLOMAT_LIBAV_LINKS "")
set(libav_folder ${CPACK_PACKAGING_INSTALL_PREFIX}/${VIDLOMAT_PRIVATE_DIR}/LibAV)
foreach(lib IN LISTS VIDLOMAT_MEDIA_LIBS)
  string(TOUPPER ${lib} LIBUP)
  file(RELATIVE_PATH target ${libav_folder} ${VIDLOMAT_${LIBUP}_SONAME_PATH})
  list(APPEND CPACK_VIDLOMAT_LIBAV_LINKS
    lib${lib}.so.${VIDLOMAT_${LIBUP}_MAJOR}=${target} lib${lib}.so=${target})
endforeach()
set(CPACK_VIDLOMAT_PRIVATE_DIR ${VIDLOMAT_PRIVATE_DIR})
set(CPACK_VIDLOMAT_STRIP ${CMAKE_STRIP})
set(CPACK_VIDLOMAT_RELEASE_DATE ${VIDLOMAT_RELEASE_DATE})
set(CPACK_VIDLOMAT_COPYRIGHT_YEAR 2026)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageFinish.cmake)

include(CPack)
