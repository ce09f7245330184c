# Installation: the shared libraries with their version and SONAME, every public header (the
# generated ones included), the generator with its CMake function, a CMake package
# configuration and a pkg-config file.
#
#   find_package(TirnTrustedInfrastructure CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE Tirn::TrustedInfrastructure)   # the package
#   tirn_generate(shop DESCRIPTION shop.tidl)                         # a package of one's own
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(tirn_core PROPERTIES EXPORT_NAME Core)
set_target_properties(tirn_std PROPERTIES EXPORT_NAME Std)
set_target_properties(tirn_bindings PROPERTIES EXPORT_NAME Bindings)
set_target_properties(tirn_trusted_infrastructure PROPERTIES EXPORT_NAME TrustedInfrastructure)
set_target_properties(tirn_json PROPERTIES EXPORT_NAME Json)
set_target_properties(tirn_http PROPERTIES EXPORT_NAME Http)

install(TARGETS tirn_core tirn_std tirn_bindings tirn_trusted_infrastructure tirn_json tirn_http
        EXPORT TirnTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

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
              ${PROJECT_SOURCE_DIR}/cmake/TirnGenerate.cmake
        DESTINATION ${TIRN_CMAKE_DIR})
install(PROGRAMS ${TIRN_GENERATOR} DESTINATION ${TIRN_CMAKE_DIR})

# The pkg-config file finds its prefix from where it is installed, so that `cmake --install
# --prefix` anywhere gives a file that points at itself.
file(RELATIVE_PATH TIRN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TIRN_PC_TO_PREFIX "${TIRN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tirn-trusted-infrastructure.pc.in
               ${PROJECT_BINARY_DIR}/tirn-trusted-infrastructure.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tirn-trusted-infrastructure.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
