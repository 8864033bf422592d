# SPDX-License-Identifier: MIT
# Install the library, its headers, a CMake package (find_package(Vornlib), target
# Vornlib::vornlib) and a pkg-config file (vornlib.pc).
include(CMakePackageConfigHelpers)

install(TARGETS vornlib EXPORT VornlibTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vornlib ${VORNLIB_GENERATED_INCLUDE}/vornlib
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# A static and a shared build may be installed into one prefix: each has its own targets file,
# and the package's configuration (the same from either) picks one.
get_target_property(VORNLIB_LIBRARY_TYPE vornlib TYPE)
if(VORNLIB_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(VORNLIB_KIND static)
else()
  set(VORNLIB_KIND shared)
endif()
install(EXPORT VornlibTargets NAMESPACE Vornlib:: FILE VornlibTargets-${VORNLIB_KIND}.cmake
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

# The .pc file finds its prefix from where it lies, so that the installed tree may be moved
# (or installed with cmake --install --prefix into a directory chosen later).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VORNLIB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VORNLIB_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH VORNLIB_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" VORNLIB_PC_UP "${VORNLIB_PC_UP}")
  set(VORNLIB_PC_PREFIX "\${pcfiledir}/${VORNLIB_PC_UP}")
  set(VORNLIB_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VORNLIB_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VORNLIB_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# vornlib.pc, the same from either build: -lvornlib is the shared library where it is installed,
# the static one otherwise (with --static for its dependencies). vornlib-static.pc, from the
# static build, names the static library itself, for a prefix that holds both.
configure_file(cmake/vornlib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vornlib.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornlib.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(VORNLIB_KIND STREQUAL "static")
  configure_file(cmake/vornlib-static.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vornlib-static.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornlib-static.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
