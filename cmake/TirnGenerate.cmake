# tirn_generate(<target> DESCRIPTION <file.tidl> [NAME <name>] [SHARED|STATIC])
#
# Turns a package description into C++ at build time and builds it as the library <target>:
# the generated headers are on its include path (under the package's folders, for example
# "com/example/shop/shop.h"), it exports its symbols under the package's own macro, and it
# links the package-independent bindings library. The sources are generated again whenever the
# description or the generator changes. NAME is the description's name in the generated
# banners (default: its file name). Without SHARED or STATIC the library's type follows
# BUILD_SHARED_LIBS.
#
#   find_package(TirnTrustedInfrastructure CONFIG REQUIRED)
#   tirn_generate(shop DESCRIPTION shop.tidl)
#   target_link_libraries(app PRIVATE shop)
#
# The package's OpenAPI 3.1 document is written beside the sources and compiled into the
# library (OpenApiDocument() in operations.h, which Tirn::Http::Server serves at
# GET /v1/openapi.json); the target's TIRN_OPENAPI_DOCUMENT property names the file, to install
# or publish it:
#
#   install(FILES $<TARGET_PROPERTY:shop,TIRN_OPENAPI_DOCUMENT> DESTINATION share/shop)
#
# Needs a Python 3 interpreter (Python3_EXECUTABLE) and TIRN_GENERATOR (the generator script,
# which runs the package tirn_generator beside it), TIRN_BINDINGS_TARGET (the bindings library)
# and TIRN_ERROR_STATUSES (the HTTP server's table of error statuses, which the document's
# answers follow), which the package configuration sets.

# The generator's files, the script and its modules: a change to any of them generates again.
get_filename_component(TIRN_GENERATOR_DIR "${TIRN_GENERATOR}" DIRECTORY)
file(GLOB TIRN_GENERATOR_FILES CONFIGURE_DEPENDS "${TIRN_GENERATOR_DIR}/tirn_generator/*.py")
list(PREPEND TIRN_GENERATOR_FILES "${TIRN_GENERATOR}")

function(tirn_generate target)
  cmake_parse_arguments(arg "SHARED;STATIC" "DESCRIPTION;NAME" "" ${ARGN})
  if(NOT arg_DESCRIPTION)
    message(FATAL_ERROR "tirn_generate(${target}): DESCRIPTION is required")
  endif()
  get_filename_component(description "${arg_DESCRIPTION}" ABSOLUTE)
  if(arg_NAME)
    set(name "${arg_NAME}")
  else()
    get_filename_component(name "${description}" NAME)
  endif()
  set(root "${CMAKE_CURRENT_BINARY_DIR}/${target}_generated")
  set(statuses "")
  if(TIRN_ERROR_STATUSES)
    set(statuses --statuses ${TIRN_ERROR_STATUSES})
  endif()

  execute_process(
    COMMAND ${Python3_EXECUTABLE} ${TIRN_GENERATOR} ${description} ${statuses} --list
    OUTPUT_VARIABLE listed
    ERROR_VARIABLE mistakes
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "The package description has mistakes:\n${mistakes}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${description}
                                                                ${TIRN_GENERATOR_FILES}
                                                                ${TIRN_ERROR_STATUSES})
  string(STRIP "${listed}" listed)
  string(REPLACE "\n" ";" listed "${listed}")
  set(files "")
  set(sources "")
  set(document "")
  foreach(file IN LISTS listed)
    list(APPEND files ${root}/${file})
    if(file MATCHES "\\.cc$")
      list(APPEND sources ${root}/${file})
    elseif(file MATCHES "/openapi\\.json$")
      set(document ${root}/${file})
    endif()
  endforeach()

  add_custom_command(
    OUTPUT ${root}/generated.stamp
    BYPRODUCTS ${files}
    COMMAND ${Python3_EXECUTABLE} ${TIRN_GENERATOR} ${description} ${statuses} --name ${name}
            --output ${root}
    COMMAND ${CMAKE_COMMAND} -E touch ${root}/generated.stamp
    DEPENDS ${description} ${TIRN_GENERATOR_FILES} ${TIRN_ERROR_STATUSES}
    COMMENT "Generating the package of ${name}"
    VERBATIM)
  add_custom_target(${target}_generate DEPENDS ${root}/generated.stamp)

  set(type "")
  if(arg_SHARED)
    set(type SHARED)
  elseif(arg_STATIC)
    set(type STATIC)
  endif()
  add_library(${target} ${type} ${sources})
  add_dependencies(${target} ${target}_generate)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  target_link_libraries(${target} PUBLIC ${TIRN_BINDINGS_TARGET})
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
    TIRN_GENERATED_ROOT ${root}
    TIRN_OPENAPI_DOCUMENT ${document})
endfunction()
