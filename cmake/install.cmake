# Install rules: the library, header, launcher, pkg-config file and a CMake
# package that yields orva::orva.
include(CMakePackageConfigHelpers)

install(TARGETS orva EXPORT orvaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS orva-init RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(ORVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orva)
install(EXPORT orvaTargets NAMESPACE orva:: DESTINATION ${ORVA_CMAKE_DIR})
configure_package_config_file(cmake/orvaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvaConfig.cmake
  INSTALL_DESTINATION ${ORVA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvaConfig.cmake
              ${PROJECT_BINARY_DIR}/orvaConfigVersion.cmake
        DESTINATION ${ORVA_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so the install works
# under whatever --prefix was given at install time.
file(RELATIVE_PATH ORVA_PC_TO_PREFIX
     /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ORVA_PC_TO_PREFIX "${ORVA_PC_TO_PREFIX}")
configure_file(cmake/orva.pc.in ${PROJECT_BINARY_DIR}/orva.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orva.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
