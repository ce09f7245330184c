# Installation: the three shared libraries with their version and SONAME, every public header
# (the generated ones included), a CMake package configuration and a pkg-config file.
#
#   find_package(TirnTrustedInfrastructure CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE Tirn::TrustedInfrastructure)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(tirn_core PROPERTIES EXPORT_NAME Core)
set_target_properties(tirn_std PROPERTIES EXPORT_NAME Std)
set_target_properties(tirn_bindings PROPERTIES EXPORT_NAME TrustedInfrastructure)
set_target_properties(tirn_json PROPERTIES EXPORT_NAME Json)
set_target_properties(tirn_http PROPERTIES EXPORT_NAME Http)
target_include_directories(tirn_bindings PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# An installed library finds the others beside it (tirn_http needs tirn_json, which a program
# that does not call it directly does not load first), wherever the prefix is.
set_target_properties(tirn_core tirn_std tirn_bindings tirn_json tirn_http
                      PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS tirn_core tirn_std tirn_bindings tirn_json tirn_http
        EXPORT TirnTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers: everything under tirn/ but tests and internal helpers.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tirn
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h"
        PATTERN "*_internal.h" EXCLUDE)
# The generated package.
install(DIRECTORY ${TIRN_GENERATED_ROOT}/com
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

set(TIRN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TirnTrustedInfrastructure)
install(EXPORT TirnTargets NAMESPACE Tirn:: DESTINATION ${TIRN_CMAKE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/TirnTrustedInfrastructureConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TirnTrustedInfrastructureConfig.cmake
  INSTALL_DESTINATION ${TIRN_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/TirnTrustedInfrastructureConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TirnTrustedInfrastructureConfig.cmake
              ${PROJECT_BINARY_DIR}/TirnTrustedInfrastructureConfigVersion.cmake
        DESTINATION ${TIRN_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tirn-trusted-infrastructure.pc.in
               ${PROJECT_BINARY_DIR}/tirn-trusted-infrastructure.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tirn-trusted-infrastructure.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
