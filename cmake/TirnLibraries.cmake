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
