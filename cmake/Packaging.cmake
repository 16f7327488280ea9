# What `cmake --install` puts in place for hosts: the shared library, the
# public headers, a CMake package (settingstore::settingstore) and a
# pkg-config file. The tool installs itself from tools/settingstore.
include(CMakePackageConfigHelpers)

set(SETTINGSTORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/settingstore)

install(TARGETS settingstore EXPORT settingstoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/storage
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(EXPORT settingstoreTargets NAMESPACE settingstore:: DESTINATION ${SETTINGSTORE_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/settingstoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/settingstoreConfig.cmake INSTALL_DESTINATION ${SETTINGSTORE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/settingstoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/settingstoreConfig.cmake ${PROJECT_BINARY_DIR}/settingstoreConfigVersion.cmake
  DESTINATION ${SETTINGSTORE_CMAKE_DIR})

# The .pc file lies in <libdir>/pkgconfig; its prefix is found from there.
file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/settingstore.pc.in ${PROJECT_BINARY_DIR}/settingstore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/settingstore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
