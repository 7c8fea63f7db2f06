# Components: runtime (the shared libraries), dev (headers, links, package files), kovactl.
install(DIRECTORY include/kova include/kovalog DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS kova kovalog EXPORT kovaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kovactl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kovactl)
install(EXPORT kovaTargets NAMESPACE kova:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kova COMPONENT dev)

include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kovaConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kovaConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kova)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kovaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kovaConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kovaConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/FindMxml.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kova COMPONENT dev)

# The .pc file finds its prefix from its own location, so the tree can be installed anywhere.
file(RELATIVE_PATH KOVA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/kova.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kova.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kova.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
