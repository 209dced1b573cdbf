# SPDX-License-Identifier: MIT
# Checks the built shared object against its binary contract.
#   cmake -DLIB=<liborva.so.X.Y.Z> -DHEADER=<orva.h> -DVERSION=<X.Y.Z>
#         -DSYMBOLS=<liborva0.symbols> -DNM=<nm> -DREADELF=<readelf>
#         -DCHECK=exports|needed|imports|names -P check_library.cmake
cmake_minimum_required(VERSION 3.25)

function(run_tool out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  list(FILTER lines EXCLUDE REGEX "^[ \t]*$")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

function(expect_same_set what actual expected)
  list(SORT actual)
  list(SORT expected)
  if(NOT actual STREQUAL expected)
    set(extra ${actual})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    list(REMOVE_ITEM missing ${actual})
    message(FATAL_ERROR
      "${what}: unexpected [${extra}], missing [${missing}]")
  endif()
endfunction()

if(CHECK STREQUAL "exports")
  # The exports are those the Debian symbols file lists, so that neither
  # can change without the other.
  file(STRINGS ${SYMBOLS} listed REGEX "^ [^ ]+@Base ")
  list(TRANSFORM listed REPLACE "^ ([^ ]+)@Base .*" "\\1"
       OUTPUT_VARIABLE expected_exports)

  # Every dynamic symbol the library defines is part of the ABI; a stray
  # one (a helper, a template instance, a runtime symbol) is a leak.
  run_tool(lines ${NM} -D --defined-only ${LIB})
  set(names)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) ([^ ]+)$")
      message(FATAL_ERROR "cannot read nm line: ${line}")
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL "T")
      message(FATAL_ERROR "exported symbol is not a function: ${line}")
    endif()
    list(APPEND names ${CMAKE_MATCH_2})
  endforeach()
  expect_same_set("exported symbols" "${names}" "${expected_exports}")

  # The header must declare what the library exports, no more, no less.
  file(READ ${HEADER} header)
  string(REGEX MATCHALL "ORVA_EXPORT[^;]*[ *](orva_[a-z_]+)[ \t]*\\("
         decls "${header}")
  set(declared)
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE ".*[ *](orva_[a-z_]+)[ \t]*\\($" "\\1" name
           "${decl}")
    list(APPEND declared ${name})
  endforeach()
  expect_same_set("functions declared in orva.h" "${declared}"
                  "${expected_exports}")

elseif(CHECK STREQUAL "needed")
  run_tool(lines ${READELF} -dW ${LIB})
  set(needed)
  foreach(line IN LISTS lines)
    if(line MATCHES "\\(NEEDED\\).*\\[(.*)\\]")
      list(APPEND needed ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT needed MATCHES "^libc\\.so\\.[0-9]+$")
    message(FATAL_ERROR "NEEDED must be libc alone, is [${needed}]")
  endif()

elseif(CHECK STREQUAL "imports")
  # Strong imports must all come from versioned libc; the C++ runtime and
  # libgcc_s show up as other versions (GLIBCXX, CXXABI, GCC) or as
  # unversioned names. Only the weak hooks that every shared object's
  # start-up code carries are let through.
  run_tool(lines ${NM} -D --undefined-only ${LIB})
  set(bad)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[ \t]*([A-Za-z]) ([^ ]+)$")
      message(FATAL_ERROR "cannot read nm line: ${line}")
    endif()
    set(kind ${CMAKE_MATCH_1})
    set(symbol ${CMAKE_MATCH_2})
    if(kind STREQUAL "w" AND symbol MATCHES
       "^(_ITM_(de)?registerTMCloneTable|__gmon_start__|__cxa_finalize(@GLIBC_[0-9.]+)?)$")
      continue()
    endif()
    if(kind STREQUAL "U" AND symbol MATCHES "@GLIBC_[0-9.]+$"
       AND NOT symbol MATCHES "^(_Z|__cxa_|__gxx_|_Unwind_)")
      continue()
    endif()
    list(APPEND bad "${line}")
  endforeach()
  if(bad)
    string(REPLACE ";" "\n  " bad "${bad}")
    message(FATAL_ERROR "imports from outside libc:\n  ${bad}")
  endif()

elseif(CHECK STREQUAL "names")
  run_tool(lines ${READELF} -dW ${LIB})
  set(soname)
  foreach(line IN LISTS lines)
    if(line MATCHES "\\(SONAME\\).*\\[(.*)\\]")
      set(soname ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT soname STREQUAL "liborva.so.0")
    message(FATAL_ERROR "soname is '${soname}', not liborva.so.0")
  endif()
  get_filename_component(dir ${LIB} DIRECTORY)
  get_filename_component(file ${LIB} NAME)
  if(NOT file STREQUAL "liborva.so.${VERSION}")
    message(FATAL_ERROR "library file is ${file}, not liborva.so.${VERSION}")
  endif()
  foreach(link_and_target "liborva.so.0=liborva.so.${VERSION}"
                          "liborva.so=liborva.so.0")
    string(REPLACE "=" ";" pair ${link_and_target})
    list(GET pair 0 link)
    list(GET pair 1 target)
    if(NOT IS_SYMLINK ${dir}/${link})
      message(FATAL_ERROR "${dir}/${link} is not a symbolic link")
    endif()
    file(READ_SYMLINK ${dir}/${link} points_to)
    if(NOT points_to STREQUAL target)
      message(FATAL_ERROR "${link} points to ${points_to}, not ${target}")
    endif()
  endforeach()

else()
  message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()
