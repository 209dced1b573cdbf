# SPDX-License-Identifier: MIT
# Formatting and static analysis, run as tests so that CI enforces them.
#   cmake -DCHECK=format -DSOURCE=<dir> -DCLANG_FORMAT=<exe> -P check_lint.cmake
#   cmake -DCHECK=tidy -DSOURCE=<dir> -DBUILD=<dir with compile_commands.json>
#         -DCLANG_TIDY=<exe> -P check_lint.cmake
cmake_minimum_required(VERSION 3.25)

if(CHECK STREQUAL "format")
  set(files)
  foreach(dir include src tools tests bench examples)
    file(GLOB_RECURSE found LIST_DIRECTORIES false
         ${SOURCE}/${dir}/*.c ${SOURCE}/${dir}/*.cpp ${SOURCE}/${dir}/*.h)
    list(APPEND files ${found})
  endforeach()
  list(SORT files)
  execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${files}
                  WORKING_DIRECTORY ${SOURCE} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "clang-format: reformat with clang-format -i")
  endif()

elseif(CHECK STREQUAL "tidy")
  file(GLOB files ${SOURCE}/src/*.cpp ${SOURCE}/tools/*.cpp)
  execute_process(COMMAND ${CLANG_TIDY} --quiet -p ${BUILD} ${files}
                  WORKING_DIRECTORY ${SOURCE} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # .clang-tidy turns warnings into errors, but a finding in a check it
  # does not know still only prints; either way the output must be clean.
  if(NOT rc EQUAL 0 OR out MATCHES "(warning|error):")
    message(FATAL_ERROR "clang-tidy (${rc}):\n${out}\n${err}")
  endif()

else()
  message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()
