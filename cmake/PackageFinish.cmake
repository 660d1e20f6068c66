# Run by CPack on the staged files of the Debian package (cmake/Package.cmake),
# before it packs them. Makes what Debian expects of a package and what a plain
# `cmake --install` does not need:
# - LibAV/ links relative and by the libraries' sonames, so they stay valid
#   when the distribution updates the libraries (the build's own links name
#   the exact files they were built against);
# - the compiler's .comment and .note sections out of the programs;
# - manual pages compressed;
# - share/doc/vidlomat/copyright and changelog.gz.

set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT EXISTS ${root}/${CPACK_VIDLOMAT_PRIVATE_DIR})
  message(FATAL_ERROR "PackageFinish: no ${root}/${CPACK_VIDLOMAT_PRIVATE_DIR} to finish")
endif()

set(libav ${root}/${CPACK_VIDLOMAT_PRIVATE_DIR}/LibAV)
file(REMOVE_RECURSE ${libav})
file(MAKE_DIRECTORY ${libav})
foreach(link IN LISTS CPACK_VIDLOMAT_LIBAV_LINKS)
  string(REPLACE "=" ";" parts ${link})
  list(GET parts 0 name)
  list(GET parts 1 target)
  file(CREATE_LINK ${target} ${libav}/${name} SYMBOLIC)
endforeach()

# The programs are stripped already; the compiler's notes go too, as
# Debian's own packaging tools do.
file(GLOB programs LIST_DIRECTORIES false ${root}/${CPACK_VIDLOMAT_PRIVATE_DIR}/*)
foreach(program IN LISTS programs)
  if(NOT IS_SYMLINK ${program})
    execute_process(COMMAND ${CPACK_VIDLOMAT_STRIP} --remove-section=.comment --remove-section=.note ${program}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

file(GLOB pages ${root}/share/man/man*/*.[1-9])
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc ${root}/share/doc/${CPACK_PACKAGE_NAME})
file(MAKE_DIRECTORY ${doc})
file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Vidlomat
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}
Source: ${CPACK_DEBIAN_PACKAGE_HOMEPAGE}

Files: *
Copyright: ${CPACK_VIDLOMAT_COPYRIGHT_YEAR} ${CPACK_PACKAGE_VENDOR}
License: GPL-2+
 This program is free software; you can redistribute it and/or modify
 it under the terms of the GNU General Public License as published by
 the Free Software Foundation; either version 2 of the License, or
 (at your option) any later version.
 .
 This program is distributed in the hope that it will be useful,
 but WITHOUT ANY WARRANTY; without even the implied warranty of
 MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE.  See the
 GNU General Public License for more details.
 .
 On Debian systems, the complete text of the GNU General Public License
 version 2 can be found in \"/usr/share/common-licenses/GPL-2\".
")

# The changelog's date is the release date, so the same sources give the same package.
execute_process(COMMAND env LC_ALL=C date -u -R -d "${CPACK_VIDLOMAT_RELEASE_DATE} 12:00"
  OUTPUT_VARIABLE released OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${doc}/changelog
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${released}
")
execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
