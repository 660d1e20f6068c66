# The media libraries are used through their headers only: nothing links them.
# At run time the loader opens them from the LibAV/ folder next to the
# executables, which this file fills with links to the distribution's copies.

set(VIDLOMAT_MEDIA_LIBS avutil swresample swscale avcodec avformat avfilter)

find_path(VIDLOMAT_MEDIA_INCLUDE_DIR libavcodec/avcodec.h
  PATHS /usr/include/${CMAKE_LIBRARY_ARCHITECTURE} /usr/include /usr/local/include)
if(NOT VIDLOMAT_MEDIA_INCLUDE_DIR)
  message(FATAL_ERROR "The media library headers (libavcodec-dev and friends) are missing; run ./scripts/setup.sh")
endif()

add_library(vidlomat_media_headers INTERFACE)
target_include_directories(vidlomat_media_headers SYSTEM INTERFACE ${VIDLOMAT_MEDIA_INCLUDE_DIR})

set(VIDLOMAT_LIBAV_DIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/LibAV)
file(MAKE_DIRECTORY ${VIDLOMAT_LIBAV_DIR})

foreach(lib IN LISTS VIDLOMAT_MEDIA_LIBS)
  string(TOUPPER ${lib} LIBUP)
  set(major "")
  foreach(header version_major.h version.h)
    set(path ${VIDLOMAT_MEDIA_INCLUDE_DIR}/lib${lib}/${header})
    if(EXISTS ${path} AND major STREQUAL "")
      file(STRINGS ${path} line REGEX "^#define[ \t]+LIB${LIBUP}_VERSION_MAJOR[ \t]+[0-9]+")
      if(line)
        string(REGEX REPLACE ".*MAJOR[ \t]+([0-9]+).*" "\\1" major "${line}")
      endif()
    endif()
  endforeach()
  if(major STREQUAL "")
    message(FATAL_ERROR "Cannot read the major version of lib${lib} from its headers")
  endif()
  set(VIDLOMAT_${LIBUP}_MAJOR ${major})

  unset(real)
  unset(real CACHE)
  find_file(real lib${lib}.so.${major}
    PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib /usr/local/lib NO_CACHE)
  if(NOT real)
    message(FATAL_ERROR "lib${lib}.so.${major} not found; run ./scripts/setup.sh")
  endif()
  set(VIDLOMAT_${LIBUP}_SONAME_PATH ${real})  # the distribution's link, kept across its updates
  file(REAL_PATH ${real} resolved)
  file(CREATE_LINK ${resolved} ${VIDLOMAT_LIBAV_DIR}/lib${lib}.so.${major} SYMBOLIC)
  file(CREATE_LINK ${resolved} ${VIDLOMAT_LIBAV_DIR}/lib${lib}.so SYMBOLIC)
  message(STATUS "LibAV/lib${lib}.so.${major} -> ${resolved}")
endforeach()
