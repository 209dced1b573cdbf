# SPDX-License-Identifier: MIT
# Whether this build has tests. ORVA_BUILD_TESTS=AUTO (the default) builds
# them when orva is the top-level project and their packages are installed,
# so a plain build needs CMake and a compiler alone; ON insists on them.
# Afterwards ORVA_BUILD_TESTS is plainly ON or OFF for the rest of the tree.
set(orva_tests_asked ${ORVA_BUILD_TESTS})
if(orva_tests_asked STREQUAL "AUTO")
  set(ORVA_BUILD_TESTS ${PROJECT_IS_TOP_LEVEL})
elseif(orva_tests_asked)
  set(ORVA_BUILD_TESTS ON)
else()
  set(ORVA_BUILD_TESTS OFF)
endif()

if(ORVA_BUILD_TESTS)
  set(orva_tests_missing "")
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND orva_tests_missing libgtest-dev libgmock-dev)
  endif()
  find_package(nlohmann_json 3 QUIET)
  if(NOT nlohmann_json_FOUND)
    list(APPEND orva_tests_missing nlohmann-json3-dev)
  endif()
  if(orva_tests_missing)
    list(JOIN orva_tests_missing " " orva_tests_missing)
    if(orva_tests_asked STREQUAL "AUTO")
      message(NOTICE "orva: tests off: the Debian packages "
        "${orva_tests_missing} are missing (scripts/dev test installs them)")
      set(ORVA_BUILD_TESTS OFF)
    else()
      message(FATAL_ERROR "orva: ORVA_BUILD_TESTS=ON needs the Debian "
        "packages ${orva_tests_missing}: apt-get install "
        "${orva_tests_missing}, or configure with -DORVA_BUILD_TESTS=OFF")
    endif()
  endif()
endif()
