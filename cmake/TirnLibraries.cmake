# The three shared libraries. Each folder's sources (everything but *_test.cc) belong to the
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

function(tirn_library name define)
  add_library(${name} SHARED ${ARGN})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:include>)
  target_link_libraries(${name} PUBLIC Boost::headers)
  target_compile_definitions(${name} PRIVATE ${define})
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
endfunction()

tirn_sources(TIRN_CORE_SOURCES tirn/message tirn/runtime tirn/data)
tirn_library(tirn_core TIRN_CORE_BUILDING ${TIRN_CORE_SOURCES})

tirn_sources(TIRN_STD_SOURCES tirn/std)
if(TIRN_STD_SOURCES)
  tirn_library(tirn_std TIRN_STD_BUILDING ${TIRN_STD_SOURCES})
  target_link_libraries(tirn_std PUBLIC tirn_core)
endif()

# The generated package: the generator turns the description into C++ under the build tree's
# generated include root. The list of files is known at configure time; the sources are
# regenerated whenever the description or the generator changes.
set(TIRN_DESCRIPTION
    ${PROJECT_SOURCE_DIR}/com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.tidl)
set(TIRN_GENERATOR ${PROJECT_SOURCE_DIR}/tools/tirn_generate.py)
set(TIRN_GENERATED_ROOT ${PROJECT_BINARY_DIR}/generated)
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${TIRN_GENERATOR} ${TIRN_DESCRIPTION} --list
  OUTPUT_VARIABLE TIRN_GENERATED_LIST
  ERROR_VARIABLE TIRN_GENERATOR_ERRORS
  RESULT_VARIABLE TIRN_GENERATOR_RESULT)
if(NOT TIRN_GENERATOR_RESULT EQUAL 0)
  message(FATAL_ERROR "The package description has mistakes:\n${TIRN_GENERATOR_ERRORS}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TIRN_DESCRIPTION} ${TIRN_GENERATOR})
string(STRIP "${TIRN_GENERATED_LIST}" TIRN_GENERATED_LIST)
string(REPLACE "\n" ";" TIRN_GENERATED_LIST "${TIRN_GENERATED_LIST}")
set(TIRN_GENERATED_FILES "")
set(TIRN_GENERATED_SOURCES "")
set(TIRN_GENERATED_HEADERS "")
foreach(file IN LISTS TIRN_GENERATED_LIST)
  list(APPEND TIRN_GENERATED_FILES ${TIRN_GENERATED_ROOT}/${file})
  if(file MATCHES "\\.cc$")
    list(APPEND TIRN_GENERATED_SOURCES ${TIRN_GENERATED_ROOT}/${file})
  else()
    list(APPEND TIRN_GENERATED_HEADERS ${file})
  endif()
endforeach()
add_custom_command(
  OUTPUT ${TIRN_GENERATED_ROOT}/generated.stamp
  BYPRODUCTS ${TIRN_GENERATED_FILES}
  COMMAND ${Python3_EXECUTABLE} ${TIRN_GENERATOR} ${TIRN_DESCRIPTION}
          --name com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.tidl
          --output ${TIRN_GENERATED_ROOT}
  COMMAND ${CMAKE_COMMAND} -E touch ${TIRN_GENERATED_ROOT}/generated.stamp
  DEPENDS ${TIRN_DESCRIPTION} ${TIRN_GENERATOR}
  COMMENT "Generating the trusted-infrastructure package"
  VERBATIM)
add_custom_target(tirn_generate DEPENDS ${TIRN_GENERATED_ROOT}/generated.stamp)

# The package's library: structure metadata, the stub engine, the provider signal and filters,
# and the generated package, whose sources are listed in TIRN_GENERATED_SOURCES once they are
# generated.
tirn_sources(TIRN_BINDINGS_SOURCES tirn/metadata tirn/stub tirn/provider)
tirn_library(tirn_bindings TIRN_BINDINGS_BUILDING ${TIRN_BINDINGS_SOURCES} ${TIRN_GENERATED_SOURCES})
target_link_libraries(tirn_bindings PUBLIC tirn_std)
add_dependencies(tirn_bindings tirn_generate)
target_include_directories(tirn_bindings PUBLIC $<BUILD_INTERFACE:${TIRN_GENERATED_ROOT}>)

# The JSON form of value trees, on RapidJSON's iterative reader and its writer (header-only).
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h REQUIRED)
tirn_sources(TIRN_JSON_SOURCES tirn/json)
tirn_library(tirn_json TIRN_JSON_BUILDING ${TIRN_JSON_SOURCES})
target_include_directories(tirn_json PRIVATE ${RAPIDJSON_INCLUDE_DIR})
target_link_libraries(tirn_json PUBLIC tirn_core)
if(TIRN_SANITIZE MATCHES "undefined")
  # Debian's RapidJSON (1.1.0) adds an offset to its stacks' null pointer before their first
  # allocation; the pointer-overflow check would stop every first parse and write there.
  set_source_files_properties(${PROJECT_SOURCE_DIR}/tirn/json/decode.cc
                              ${PROJECT_SOURCE_DIR}/tirn/json/encode.cc
                              PROPERTIES COMPILE_OPTIONS -fno-sanitize=pointer-overflow)
endif()

# Calls across processes: HTTP/1.1 with Beast and Asio (compiled once, into this library
# only) and TLS with OpenSSL.
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
tirn_sources(TIRN_HTTP_SOURCES tirn/http)
tirn_library(tirn_http TIRN_HTTP_BUILDING ${TIRN_HTTP_SOURCES})
target_compile_definitions(tirn_http PRIVATE BOOST_ASIO_SEPARATE_COMPILATION
                                             BOOST_BEAST_SEPARATE_COMPILATION)
target_link_libraries(tirn_http PUBLIC tirn_json PRIVATE OpenSSL::SSL OpenSSL::Crypto
                                                         Threads::Threads)
