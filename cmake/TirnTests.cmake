# Unit tests: every *_test.cc beside the sources of a library is built into that library's
# test program; cross-cutting tests live in tests/.
find_package(GTest REQUIRED)
include(GoogleTest)

function(tirn_test_program name library)
  set(sources "")
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${dir}/*_test.cc")
    list(APPEND sources ${found})
  endforeach()
  if(TIRN_TEST_FILTER)
    list(FILTER sources INCLUDE REGEX "${TIRN_TEST_FILTER}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${library} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()

tirn_test_program(tirn_core_tests tirn_core tirn/message tirn/runtime tirn/data)
if(TARGET tirn_std)
  tirn_test_program(tirn_std_tests tirn_std tirn/std)
endif()
tirn_test_program(tirn_bindings_tests tirn_bindings tirn/metadata tirn/stub tirn/provider)

# The generator reports every mistake of a description with its line.
add_test(NAME generator_test
         COMMAND ${Python3_EXECUTABLE} -m unittest -q tests/generator_test.py
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
