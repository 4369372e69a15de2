include(CMakePackageConfigHelpers)

install(TARGETS korvanrt EXPORT korvanrtTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY korvan_rt/include/korvanrt DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT korvanrtTargets NAMESPACE korvanrt::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvanrt)

configure_package_config_file(cmake/korvanrtConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvanrtConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvanrt)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/korvanrtConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvanrtConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/korvanrtConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvanrt)

configure_file(cmake/korvanrt.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvanrt.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvanrt.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
