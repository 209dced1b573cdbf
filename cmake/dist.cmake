# SPDX-License-Identifier: MIT
# Run by the dist target: copies each static launcher to
# DIST_DIR/orva-init-static-<arch>, writes them as one multi-platform image
# (oci-image.cmake) and writes DIST_DIR/SHA256SUMS over the launchers and
# the image's archive, for `sha256sum -c SHA256SUMS` in that directory.
# ENTRIES holds <arch>=<budget in bytes>=<platform>=<path> items separated
# by '|'. A launcher above its budget fails the build, and nothing is
# written.
include(${CMAKE_CURRENT_LIST_DIR}/oci-image.cmake)
string(REPLACE "|" ";" entries "${ENTRIES}")
set(over "")
set(names "")
foreach(entry IN LISTS entries)
  if(NOT entry MATCHES "^([^=]+)=([0-9]+)=([^=]+)=(.+)$")
    message(FATAL_ERROR "dist: bad entry '${entry}'")
  endif()
  set(arch ${CMAKE_MATCH_1})
  set(budget ${CMAKE_MATCH_2})
  set(platform_${arch} ${CMAKE_MATCH_3})
  set(path ${CMAKE_MATCH_4})
  file(SIZE ${path} size)
  message(STATUS "orva-init-static-${arch}: ${size} bytes "
                 "(budget ${budget})")
  if(size GREATER_EQUAL budget)
    list(APPEND over "${arch} ${size} >= ${budget}")
  endif()
  list(APPEND names orva-init-static-${arch})
  set(path_${arch} ${path})
endforeach()
if(over)
  list(JOIN over ", " over)
  message(FATAL_ERROR "orva-init-static over its size budget: ${over} bytes "
                      "(cmake/static-launcher.cmake)")
endif()

file(MAKE_DIRECTORY ${DIST_DIR})
# A launcher left from an earlier build with more targets would not match
# the sums.
file(GLOB stale ${DIST_DIR}/orva-init-static-*)
if(stale)
  file(REMOVE ${stale})
endif()
list(SORT names)
# The image's platforms in the order of the file names, whatever order the
# targets were given in.
set(platforms "")
foreach(name IN LISTS names)
  string(REPLACE "orva-init-static-" "" arch ${name})
  file(COPY_FILE ${path_${arch}} ${DIST_DIR}/${name})
  list(APPEND platforms ${arch}=${platform_${arch}})
endforeach()
orva_write_oci_image(${DIST_DIR} "${platforms}" ${WORK_DIR} index)
list(JOIN platforms " " shown)
string(REGEX REPLACE "[^ =]+=" "" shown "${shown}")
message(STATUS "orva-init-oci.tar: image index ${index}, tagged ${VERSION}, "
               "for ${shown}")

list(APPEND names orva-init-oci.tar)
list(SORT names)
set(sums "")
foreach(name IN LISTS names)
  file(SHA256 ${DIST_DIR}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${DIST_DIR}/SHA256SUMS "${sums}")
