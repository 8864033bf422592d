# Install the library, its headers and a CMake package so that a consumer can
# find_package(Vornlib) and link Vornlib::vornlib.
include(CMakePackageConfigHelpers)

install(TARGETS vornlib EXPORT VornlibTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vornlib DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VornlibTargets NAMESPACE Vornlib::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vornlib)
configure_package_config_file(cmake/VornlibConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VornlibConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vornlib)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VornlibConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/VornlibConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VornlibConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vornlib)
