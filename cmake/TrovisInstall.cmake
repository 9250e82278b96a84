# What `cmake --install` lays out, in two components:
#   sdk      the plugin headers, the CMake package TrovisCore and trovis-core.pc
#   runtime  trovis-core with its plugins/ and scripts/ beside it, and trovis-parent
# scripts/release.sh packs the runtime component for the device.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TRV_RUNTIME_DESTINATION "${CMAKE_INSTALL_LIBDIR}/trovis" CACHE STRING
  "Directory that receives trovis-core and, beside it, plugins/ and scripts/")
set(package_dir "${CMAKE_INSTALL_LIBDIR}/cmake/TrovisCore")

install(DIRECTORY include/trv DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT sdk)
set_target_properties(trv_sdk PROPERTIES EXPORT_NAME sdk)
install(TARGETS trv_sdk EXPORT TrovisCoreTargets COMPONENT sdk)
install(EXPORT TrovisCoreTargets NAMESPACE TrovisCore:: DESTINATION "${package_dir}" COMPONENT sdk)
configure_package_config_file(cmake/TrovisCoreConfig.cmake.in
  "${PROJECT_BINARY_DIR}/TrovisCoreConfig.cmake" INSTALL_DESTINATION "${package_dir}")
# Plugins see the record layout of this release: a new major version may change it.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/TrovisCoreConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  "${PROJECT_BINARY_DIR}/TrovisCoreConfig.cmake"
  "${PROJECT_BINARY_DIR}/TrovisCoreConfigVersion.cmake"
  cmake/TrovisCorePlugin.cmake
  DESTINATION "${package_dir}" COMPONENT sdk)
configure_file(cmake/trovis-core.pc.in "${PROJECT_BINARY_DIR}/trovis-core.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/trovis-core.pc"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/pkgconfig" COMPONENT sdk)

# Every plugin built under plugins/ ships.
set(shipped_plugins "")
get_property(plugin_dirs DIRECTORY plugins PROPERTY SUBDIRECTORIES)
foreach(dir IN LISTS plugin_dirs)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      list(APPEND shipped_plugins ${target})
    endif()
  endforeach()
endforeach()

install(TARGETS trovis-core trovis-parent
  RUNTIME DESTINATION "${TRV_RUNTIME_DESTINATION}" COMPONENT runtime)
install(TARGETS ${shipped_plugins}
  LIBRARY DESTINATION "${TRV_RUNTIME_DESTINATION}/plugins" COMPONENT runtime)
install(PROGRAMS scripts/get_id.sh
  DESTINATION "${TRV_RUNTIME_DESTINATION}/scripts" COMPONENT runtime)

set(CPACK_PACKAGE_NAME trovis-core)
set(CPACK_PACKAGE_VENDOR Trovis)
set(CPACK_GENERATOR TGZ)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_PACKAGE_FILE_NAME "trovis-core-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}")
include(CPack)
