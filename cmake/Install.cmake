# Installs headers, the static libraries and a CMake package so that a
# consumer can `find_package(vorn_rag CONFIG REQUIRED)` and link
# `vorn_rag::vorn_rag` (or any family target).
include(CMakePackageConfigHelpers)

get_property(vorn_libraries GLOBAL PROPERTY VORN_LIBRARIES)
install(TARGETS ${vorn_libraries}
  EXPORT vorn_ragTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vorn_ragTargets
  NAMESPACE vorn_rag::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn_rag)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vorn_ragConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vorn_ragConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn_rag)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorn_ragConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorn_ragConfig.cmake ${PROJECT_BINARY_DIR}/vorn_ragConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn_rag)
