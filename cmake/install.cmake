# SPDX-License-Identifier: MIT
# Install rules: the library, header, launcher, pkg-config file and a CMake
# package that yields orva::orva.
include(CMakePackageConfigHelpers)

# Components follow the Debian split: runtime (the shared object), launcher
# (orva-init), dev (everything needed to build against the library).
install(TARGETS orva orva_static EXPORT orvaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# Where this build makes the static launcher for this machine, it is the
# orva-init installed: it starts in about the time of a minimal static
# process 1, the dynamic build in over twice that, most of it the dynamic
# loader's. The dynamic build is installed where there is no static one.
if(ORVA_STATIC_LAUNCHER)
  install(PROGRAMS ${ORVA_STATIC_LAUNCHER}
          DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT launcher)
endif()
if(ORVA_STATIC_LAUNCHER AND NOT ORVA_STATIC_EMULATOR)
  install(CODE "
    set(bin \"${CMAKE_INSTALL_BINDIR}\")
    if(NOT IS_ABSOLUTE \"\${bin}\")
      set(bin \"\${CMAKE_INSTALL_PREFIX}/\${bin}\")
    endif()
    message(STATUS \"Installing: \$ENV{DESTDIR}\${bin}/orva-init -> orva-init-static\")
    file(CREATE_LINK orva-init-static \"\$ENV{DESTDIR}\${bin}/orva-init\"
         SYMBOLIC)" COMPONENT launcher)
else()
  install(TARGETS orva-init RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT launcher)
endif()

set(ORVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orva)
install(EXPORT orvaTargets NAMESPACE orva:: DESTINATION ${ORVA_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/orvaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvaConfig.cmake
  INSTALL_DESTINATION ${ORVA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvaConfig.cmake
              ${PROJECT_BINARY_DIR}/orvaConfigVersion.cmake
        DESTINATION ${ORVA_CMAKE_DIR} COMPONENT dev)

# The .pc file finds its prefix from where it lies, so the install works
# under whatever --prefix was given at install time. An absolute library
# directory says nothing about the prefix, so then the paths are fixed.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ORVA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ORVA_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" ORVA_PC_PREFIX "${ORVA_PC_PREFIX}")
  set(ORVA_PC_PREFIX "\${pcfiledir}/${ORVA_PC_PREFIX}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ORVA_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ORVA_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/orva.pc.in ${PROJECT_BINARY_DIR}/orva.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orva.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
