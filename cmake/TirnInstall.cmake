# Installation: the shared libraries with their version and SONAME, every public header (the
# generated ones included), the package's OpenAPI document, the generator with its CMake
# function and the server's table of error statuses it reads, a CMake package configuration
# and a pkg-config file.
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
install(DIRECTORY ${TIRN_GENERATOR_DIR}/tirn_generator DESTINATION ${TIRN_CMAKE_DIR}
        FILES_MATCHING PATTERN "*.py"
        PATTERN "__pycache__" EXCLUDE)
install(FILES ${TIRN_ERROR_STATUSES} DESTINATION ${TIRN_CMAKE_DIR})
# The package's OpenAPI 3.1 document, as its servers serve it at GET /v1/openapi.json.
install(FILES $<TARGET_PROPERTY:tirn_trusted_infrastructure,TIRN_OPENAPI_DOCUMENT>
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tirn/openapi
        RENAME com.ostrel.nox.trusted_infrastructure.json)

# The pkg-config file finds its prefix from where it is installed, so that `cmake --install
# --prefix` anywhere gives a file that points at itself.
file(RELATIVE_PATH TIRN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TIRN_PC_TO_PREFIX "${TIRN_PC_TO_PREFIX}")
# One file per library a client may want on its own: the package (with the runtime), the JSON
# form, the HTTP transport; each names the one it builds on.
function(tirn_pkg_config name description requires libs)
  set(TIRN_PC_NAME ${name})
  set(TIRN_PC_DESCRIPTION "${description}")
  set(TIRN_PC_REQUIRES "${requires}")
  set(TIRN_PC_LIBS "${libs}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tirn.pc.in ${PROJECT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
tirn_pkg_config(tirn-trusted-infrastructure
                "Typed stubs and binders for com.ostrel.nox.trusted_infrastructure" ""
                "-ltirn_trusted_infrastructure -ltirn_bindings -ltirn_std -ltirn_core")
tirn_pkg_config(tirn-json "The JSON form of tirn values" "tirn-trusted-infrastructure"
                "-ltirn_json")
tirn_pkg_config(tirn-http "The HTTP server and client provider of tirn" "tirn-json"
                "-ltirn_http")
