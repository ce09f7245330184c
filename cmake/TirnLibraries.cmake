# The shared libraries. Each folder's sources (everything but *_test.cc) belong to the
# library that owns the folder; a library links only the ones below it.

function(tirn_sources out)
  set(result "")
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${dir}/*.cc")
    list(FILTER found EXCLUDE REGEX "_test\\.cc$")
    list(APPEND result ${found})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(tirn_library name)
  add_library(${name} SHARED ${ARGN})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:include>)
  target_link_libraries(${name} PUBLIC Boost::headers)
  target_compile_features(${name} PUBLIC cxx_std_17)
  # Installed side by side, the libraries find each other wherever the prefix is.
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    INSTALL_RPATH "$ORIGIN")
endfunction()

tirn_sources(TIRN_CORE_SOURCES tirn/message tirn/runtime/value tirn/runtime/l10n tirn/runtime/call tirn/data)
tirn_library(tirn_core ${TIRN_CORE_SOURCES})

tirn_sources(TIRN_STD_SOURCES tirn/std)
if(TIRN_STD_SOURCES)
  tirn_library(tirn_std ${TIRN_STD_SOURCES})
  target_link_libraries(tirn_std PUBLIC tirn_core)
endif()

# The package-independent bindings: structure metadata, the stub engine, the provider signal
# and filters. Every generated package is a library of its own on top of it.
tirn_sources(TIRN_BINDINGS_SOURCES tirn/metadata tirn/stub tirn/provider)
tirn_library(tirn_bindings ${TIRN_BINDINGS_SOURCES})
target_link_libraries(tirn_bindings PUBLIC tirn_std)

# The trusted-infrastructure package, generated at build time from its description by the same
# function that users of the installed package call for theirs.
set(TIRN_GENERATOR ${PROJECT_SOURCE_DIR}/tools/tirn_generate.py)
set(TIRN_BINDINGS_TARGET tirn_bindings)
set(TIRN_ERROR_STATUSES ${PROJECT_SOURCE_DIR}/tirn/http/error_statuses.def)
include(${PROJECT_SOURCE_DIR}/cmake/TirnGenerate.cmake)
set(TIRN_DESCRIPTION
    ${PROJECT_SOURCE_DIR}/com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.tidl)
tirn_generate(tirn_trusted_infrastructure SHARED DESCRIPTION ${TIRN_DESCRIPTION}
              NAME com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.tidl)
target_include_directories(tirn_trusted_infrastructure PUBLIC $<INSTALL_INTERFACE:include>)
set_target_properties(tirn_trusted_infrastructure PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
  INSTALL_RPATH "$ORIGIN")
get_target_property(TIRN_GENERATED_ROOT tirn_trusted_infrastructure TIRN_GENERATED_ROOT)

# The JSON form of value trees, on RapidJSON's iterative reader and its writer (header-only).
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h REQUIRED)
tirn_sources(TIRN_JSON_SOURCES tirn/json)
tirn_library(tirn_json ${TIRN_JSON_SOURCES})
target_include_directories(tirn_json PRIVATE ${RAPIDJSON_INCLUDE_DIR})
target_link_libraries(tirn_json PUBLIC tirn_core)
if(TIRN_SANITIZE MATCHES "undefined")
  # Debian's RapidJSON (1.1.0) adds an offset to its stacks' null pointer before their first
  # allocation; the pointer-overflow check would stop every first parse and write there.
  set_source_files_properties(${PROJECT_SOURCE_DIR}/tirn/json/decode.cc
                              ${PROJECT_SOURCE_DIR}/tirn/json/encode.cc
                              ${PROJECT_SOURCE_DIR}/tirn/json/native_reader.cc
                              PROPERTIES COMPILE_OPTIONS -fno-sanitize=pointer-overflow)
endif()

# Calls across processes: HTTP/1.1 with Beast and Asio (compiled once, into this library
# only) and TLS with OpenSSL.
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
tirn_sources(TIRN_HTTP_SOURCES tirn/http)
tirn_library(tirn_http ${TIRN_HTTP_SOURCES})
target_compile_definitions(tirn_http PRIVATE BOOST_ASIO_SEPARATE_COMPILATION
                                             BOOST_BEAST_SEPARATE_COMPILATION)
target_link_libraries(tirn_http PUBLIC tirn_json PRIVATE OpenSSL::SSL OpenSSL::Crypto
                                                         Threads::Threads)
