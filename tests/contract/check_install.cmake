# SPDX-License-Identifier: MIT
# Installs orva into a scratch prefix and uses it the way a user would.
#   cmake -DMODE=layout|pkg_config|find_package|libdirs|absolute|plain
#         -DWORK=<scratch>
#         -DBUILD=<orva build> -DSOURCE=<orva source> -DCONSUMER=<dir>
#         -DVERSION=<X.Y.Z> -DLIBDIR=<lib> -DINCLUDEDIR=<include>
#         -DBINDIR=<bin> -DCC=<c compiler> -DCXX=<c++ compiler>
#         -DPKG_CONFIG=<pkg-config> -DGENERATOR=<generator> -DARCH=<multiarch>
#         -DREADELF=<readelf>
#         -P check_install.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  cmake_parse_arguments(R "" "OUTPUT;ERROR;EXPECT" "COMMAND;ENV" ${ARGN})
  if(NOT DEFINED R_EXPECT)
    set(R_EXPECT 0)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${R_ENV} ${R_COMMAND}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
                  TIMEOUT 240)
  if(NOT rc STREQUAL R_EXPECT)
    string(REPLACE ";" " " shown "${R_COMMAND}")
    message(FATAL_ERROR
      "${shown}\nexited with ${rc}, expected ${R_EXPECT}\n${out}\n${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
  if(R_ERROR)
    set(${R_ERROR} "${err}" PARENT_SCOPE)
  endif()
endfunction()

function(expect_link path target)
  if(NOT IS_SYMLINK ${path})
    message(FATAL_ERROR "${path} is not a symbolic link")
  endif()
  file(READ_SYMLINK ${path} points_to)
  if(NOT points_to STREQUAL target)
    message(FATAL_ERROR "${path} points to ${points_to}, not ${target}")
  endif()
endfunction()

function(expect_file path)
  if(NOT EXISTS ${path} OR IS_DIRECTORY ${path})
    message(FATAL_ERROR "${path} was not installed")
  endif()
endfunction()

# Installs `build` into `prefix` and checks that every piece landed where
# the layout in `libdir`, `includedir` and `bindir` says.
function(install_and_check build prefix libdir includedir bindir)
  run(COMMAND ${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
  expect_file(${prefix}/${includedir}/orva.h)
  expect_file(${prefix}/${libdir}/liborva.so.${VERSION})
  expect_link(${prefix}/${libdir}/liborva.so.0 liborva.so.${VERSION})
  expect_link(${prefix}/${libdir}/liborva.so liborva.so.0)
  expect_file(${prefix}/${libdir}/liborva.a)
  expect_file(${prefix}/${libdir}/pkgconfig/orva.pc)
  expect_file(${prefix}/${libdir}/cmake/orva/orvaConfig.cmake)
  expect_file(${prefix}/${libdir}/cmake/orva/orvaConfigVersion.cmake)
  expect_file(${prefix}/${bindir}/orva-init)
endfunction()

# The installed launcher must find the installed library by itself.
function(run_launcher prefix bindir)
  # It carries the library, and so runs from wherever the prefix went.
  run(COMMAND ${READELF} -dW ${prefix}/${bindir}/orva-init OUTPUT dynamic)
  if(dynamic MATCHES "liborva")
    message(FATAL_ERROR "orva-init loads the shared library:\n${dynamic}")
  endif()
  run(COMMAND ${prefix}/${bindir}/orva-init --version OUTPUT out
      ENV --unset=LD_LIBRARY_PATH)
  if(NOT out MATCHES "^orva-init version ${VERSION} - git\\.[^.\n]+\n$")
    message(FATAL_ERROR "orva-init --version printed '${out}'")
  endif()
  run(COMMAND ${prefix}/${bindir}/orva-init sh -c "exit 5" EXPECT 5
      ENV --unset=LD_LIBRARY_PATH)
endfunction()

function(run_consumer exe prefix libdir)
  run(COMMAND ${exe} 1h30m OUTPUT out EXPECT 7
      ENV LD_LIBRARY_PATH=${prefix}/${libdir})
  if(NOT out STREQUAL "stop timeout 5400 s\n")
    message(FATAL_ERROR "the consumer printed '${out}'")
  endif()
endfunction()

# A consumer linked with liborva.a needs nothing at run time: no loader,
# no shared object at all.
function(run_static_consumer exe)
  run(COMMAND ${READELF} -ldW ${exe} OUTPUT headers)
  if(headers MATCHES "INTERP|NEEDED")
    message(FATAL_ERROR "${exe} is not fully static:\n${headers}")
  endif()
  run_consumer(${exe} /nonexistent lib)
endfunction()

function(consume_with_pkg_config prefix libdir)
  set(env PKG_CONFIG_PATH=${prefix}/${libdir}/pkgconfig)
  run(COMMAND ${PKG_CONFIG} --variable=prefix orva OUTPUT found ENV ${env})
  string(STRIP "${found}" found)
  file(REAL_PATH "${found}" found)
  file(REAL_PATH "${prefix}" real_prefix)
  if(NOT found STREQUAL real_prefix)
    message(FATAL_ERROR "orva.pc puts the prefix at ${found}, not ${prefix}")
  endif()
  run(COMMAND ${PKG_CONFIG} --cflags --libs orva OUTPUT flags ENV ${env})
  string(STRIP "${flags}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(exe ${WORK}/consumer-pkg-config)
  run(COMMAND ${CC} -std=c11 -Wall -Wextra -Werror ${CONSUMER}/consumer.c
              ${flags} -o ${exe})
  run_consumer(${exe} ${prefix} ${libdir})

  run(COMMAND ${PKG_CONFIG} --static --cflags --libs orva OUTPUT flags
      ENV ${env})
  string(STRIP "${flags}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(COMMAND ${CC} -static -std=c11 -Wall -Wextra -Werror
              ${CONSUMER}/consumer.c ${flags} -o ${exe}-static)
  run_static_consumer(${exe}-static)
endfunction()

function(consume_with_find_package prefix libdir)
  set(build ${WORK}/consumer-find-package)
  run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${build} -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${prefix})
  file(STRINGS ${build}/CMakeCache.txt found REGEX "^orva_DIR:")
  if(NOT found STREQUAL "orva_DIR:PATH=${prefix}/${libdir}/cmake/orva")
    message(FATAL_ERROR "find_package(orva) found ${found}")
  endif()
  run(COMMAND ${CMAKE_COMMAND} --build ${build})
  run_consumer(${build}/consumer ${prefix} ${libdir})
  run_static_consumer(${build}/consumer-static)
  # Another major version is another ABI and must not be accepted.
  run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${build}-v1 -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${prefix}
              -DORVA_WANTED=1.0
      EXPECT 1 ERROR err)
  string(FIND "${err}" "version: ${VERSION}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "find_package(orva 1.0) failed otherwise:\n${err}")
  endif()
endfunction()

# Configures and builds orva without its tests, with the given install
# directories, in ${WORK}/build.
function(configure_and_build libdir includedir bindir)
  run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
              -DCMAKE_BUILD_TYPE=Release -DORVA_BUILD_TESTS=OFF
              -DCMAKE_INSTALL_LIBDIR=${libdir}
              -DCMAKE_INSTALL_INCLUDEDIR=${includedir}
              -DCMAKE_INSTALL_BINDIR=${bindir})
  # Everything that installs must be built, not only the library.
  run(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build -j 2)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

if(MODE STREQUAL "layout")
  install_and_check(${BUILD} ${WORK}/prefix ${LIBDIR} ${INCLUDEDIR} ${BINDIR})
  run_launcher(${WORK}/prefix ${BINDIR})

elseif(MODE STREQUAL "pkg_config" OR MODE STREQUAL "find_package")
  # Installed under one prefix and used under another: nothing may point
  # back to where it was installed.
  install_and_check(${BUILD} ${WORK}/installed ${LIBDIR} ${INCLUDEDIR}
                    ${BINDIR})
  file(RENAME ${WORK}/installed ${WORK}/moved)
  if(MODE STREQUAL "pkg_config")
    consume_with_pkg_config(${WORK}/moved ${LIBDIR})
  else()
    consume_with_find_package(${WORK}/moved ${LIBDIR})
  endif()
  run_launcher(${WORK}/moved ${BINDIR})

elseif(MODE STREQUAL "plain")
  # The plain build on a machine without the test packages: it says so in
  # one line and builds and installs all the same, unless tests were asked
  # for, which must name the packages.
  set(no_test_packages -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
      -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON)
  run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
              ${no_test_packages}
      ERROR err)
  set(named "libgtest-dev libgmock-dev nlohmann-json3-dev")
  if(NOT err MATCHES "(^|\n)orva: tests off: [^\n]*${named}")
    message(FATAL_ERROR "no one line saying the tests are off:\n${err}")
  endif()
  run(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build -j 2)
  install_and_check(${WORK}/build ${WORK}/installed ${LIBDIR} ${INCLUDEDIR}
                    ${BINDIR})
  run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/asked -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
              ${no_test_packages} -DORVA_BUILD_TESTS=ON
      EXPECT 1 ERROR err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  string(FIND "${err}" "needs the Debian packages ${named}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "ORVA_BUILD_TESTS=ON did not name the packages:\n${err}")
  endif()

elseif(MODE STREQUAL "libdirs")
  # A layout unlike the default one: a deeper library directory, where the
  # platform has one that find_package searches, and a deeper bin.
  if(ARCH)
    set(libdir lib/${ARCH})
  else()
    set(libdir lib64)
  endif()
  set(includedir include/orva-${VERSION})
  set(bindir libexec/orva)
  configure_and_build(${libdir} ${includedir} ${bindir})
  install_and_check(${WORK}/build ${WORK}/installed ${libdir} ${includedir}
                    ${bindir})
  if(EXISTS ${WORK}/installed/lib/liborva.so)
    message(FATAL_ERROR "the library went to lib/, not ${libdir}/")
  endif()
  file(RENAME ${WORK}/installed ${WORK}/moved)
  consume_with_pkg_config(${WORK}/moved ${libdir})
  consume_with_find_package(${WORK}/moved ${libdir})
  run_launcher(${WORK}/moved ${bindir})

elseif(MODE STREQUAL "absolute")
  # Absolute directories pin the files; the rest still follows --prefix.
  # CMake refuses absolute include directories inside the build tree, so
  # the pinned ones live in a directory named after it.
  string(MD5 hash "${WORK}")
  set(fixed /tmp/orva-absolute-${hash})
  file(REMOVE_RECURSE ${fixed})
  configure_and_build(${fixed}/lib ${fixed}/include bin)
  run(COMMAND ${CMAKE_COMMAND} --install ${WORK}/build
              --prefix ${WORK}/prefix)
  expect_file(${fixed}/include/orva.h)
  expect_link(${fixed}/lib/liborva.so liborva.so.0)
  set(env PKG_CONFIG_PATH=${fixed}/lib/pkgconfig)
  foreach(variable libdir includedir)
    run(COMMAND ${PKG_CONFIG} --variable=${variable} orva OUTPUT found
        ENV ${env})
    string(STRIP "${found}" found)
    string(REPLACE "dir" "" leaf ${variable})
    if(NOT found STREQUAL "${fixed}/${leaf}")
      message(FATAL_ERROR "orva.pc gives ${variable}=${found}")
    endif()
  endforeach()
  run_launcher(${WORK}/prefix bin)
  file(REMOVE_RECURSE ${fixed})

else()
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
