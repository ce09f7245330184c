# Unit tests: every *_test.cc beside the sources of a library is built into that library's
# test program; cross-cutting tests live in tests/.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)

option(TIRN_ONLY_CONCURRENCY_TESTS
       "Build and register only the concurrency tests (for the ThreadSanitizer build)" OFF)

# The HTTP test programs that record every answer they read in TIRN_RECORDED_ANSWERS
# (tests/raw_http.h), for openapi.answers to check against the OpenAPI document (below).
set(TIRN_RECORDING_TESTS tirn_http_tests tirn_openapi_tests tirn_definitions_tests)
set(TIRN_RECORDED_ANSWERS ${PROJECT_BINARY_DIR}/openapi/answers.jsonl)

# A test program made of `sources` (full paths), left out when TIRN_TEST_FILTER matches none.
function(tirn_add_test_program name library)
  set(sources ${ARGN})
  if(TIRN_TEST_FILTER)
    list(FILTER sources INCLUDE REGEX "${TIRN_TEST_FILTER}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${library} GTest::gtest GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  set(properties TIMEOUT 600)
  if(name IN_LIST TIRN_RECORDING_TESTS AND TIRN_PROCESS_TESTS AND NOT TIRN_SANITIZE)
    list(APPEND properties ENVIRONMENT TIRN_RECORD_ANSWERS=${TIRN_RECORDED_ANSWERS}
                           FIXTURES_REQUIRED openapi_answers_reset FIXTURES_SETUP openapi_answers)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${properties})
endfunction()

# A cross-cutting test program of tests/ made of the given sources (paths from the source root).
function(tirn_cross_cutting_test name)
  list(TRANSFORM ARGN PREPEND "${PROJECT_SOURCE_DIR}/" OUTPUT_VARIABLE sources)
  tirn_add_test_program(${name} tirn_trusted_infrastructure ${sources})
endfunction()

# Many client threads through shared stubs (in process and over HTTP) to a server answering
# from its own threads; the ThreadSanitizer build runs only this.
tirn_cross_cutting_test(tirn_concurrency_tests tests/concurrency_test.cc)
if(TARGET tirn_concurrency_tests)
  target_link_libraries(tirn_concurrency_tests PRIVATE tirn_http)
endif()
if(TIRN_ONLY_CONCURRENCY_TESTS)
  return()
endif()

function(tirn_test_program name library)
  set(sources "")
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${dir}/*_test.cc")
    list(APPEND sources ${found})
  endforeach()
  tirn_add_test_program(${name} ${library} ${sources})
endfunction()

tirn_test_program(tirn_core_tests tirn_core tirn/text tirn/message tirn/runtime/value tirn/runtime/l10n
                  tirn/runtime/call tirn/data)
if(TARGET tirn_std)
  tirn_test_program(tirn_std_tests tirn_std tirn/std)
endif()
tirn_test_program(tirn_bindings_tests tirn_bindings tirn/metadata tirn/stub tirn/provider)
tirn_test_program(tirn_json_tests tirn_json tirn/json)
tirn_test_program(tirn_http_unit_tests tirn_http tirn/http)

# The compiled package checked against its naming and descriptor tables, and its
# structures' round trips through the value model.
tirn_cross_cutting_test(tirn_package_tests tests/package_tables_test.cc
                        tests/package_round_trip_test.cc)

# Every structure and error of the package through JSON and back, and the direct reading of
# native objects held to the full path.
tirn_cross_cutting_test(tirn_json_package_tests tests/json_round_trip_test.cc
                        tests/json_direct_read_test.cc)
if(TARGET tirn_json_package_tests)
  target_link_libraries(tirn_json_package_tests PRIVATE tirn_json)
endif()

# The JSON form of every operation's definitions and annotations, of the package and of the
# guide's shop (generated here from its description, as a package of its own), read back equal;
# and GET /v1/operations from a live server.
tirn_cross_cutting_test(tirn_definitions_tests tests/definitions_test.cc)

# `tirn`, built with the trusted-infrastructure package only, lists, describes and calls the
# operations of the guide's shop, which the shop example serves over HTTP, by asking it for them.
if(TIRN_PROCESS_TESTS)
  tirn_add_test_program(tirn_reflect_tests tirn_trusted_infrastructure
                        ${PROJECT_SOURCE_DIR}/apps/cli/reflect_process_test.cc)
endif()

if(TARGET tirn_definitions_tests OR TARGET tirn_reflect_tests)
  tirn_generate(tirn_shop_package SHARED DESCRIPTION ${PROJECT_SOURCE_DIR}/docs/examples/shop.tidl)
endif()
if(TARGET tirn_definitions_tests)
  target_link_libraries(tirn_definitions_tests PRIVATE tirn_shop_package tirn_http)
  target_compile_definitions(tirn_definitions_tests PRIVATE TIRN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
if(TARGET tirn_reflect_tests)
  add_executable(tirn_shop_example ${PROJECT_SOURCE_DIR}/examples/shop/shop.cc)
  target_link_libraries(tirn_shop_example PRIVATE tirn_shop_package tirn_http)
  target_link_libraries(tirn_reflect_tests PRIVATE tirn_http)
  target_include_directories(tirn_reflect_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(tirn_reflect_tests PRIVATE
                             TIRN_CLI_PROGRAM="$<TARGET_FILE:tirn_cli>"
                             TIRN_SHOP_PROGRAM="$<TARGET_FILE:tirn_shop_example>")
  add_dependencies(tirn_reflect_tests tirn_cli tirn_shop_example)
endif()

# Calls across HTTP on 127.0.0.1, with TLS certificates the tests make.
tirn_cross_cutting_test(tirn_http_tests tests/http_test.cc)
if(TARGET tirn_http_tests)
  target_link_libraries(tirn_http_tests PRIVATE tirn_http tirn_reference_server OpenSSL::Crypto)
  target_compile_definitions(tirn_http_tests PRIVATE TIRN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

# The client's attempts after a failure, against scripted peers on 127.0.0.1.
tirn_cross_cutting_test(tirn_retry_tests tests/retry_test.cc)
if(TARGET tirn_retry_tests)
  target_link_libraries(tirn_retry_tests PRIVATE tirn_http tirn_reference_server OpenSSL::Crypto)
endif()

# The client's reading of answers, without sockets.
tirn_cross_cutting_test(tirn_answer_reader_tests tests/answer_reader_test.cc)
if(TARGET tirn_answer_reader_tests)
  target_link_libraries(tirn_answer_reader_tests PRIVATE tirn_http)
endif()

# Calls from client stubs through the in-process provider to bound implementations and back,
# for every operation of the package.
tirn_cross_cutting_test(tirn_calls_tests tests/end_to_end_test.cc tests/calling_test.cc)

# The generator reports every mistake of a description with its line.
add_test(NAME generator_test
         COMMAND ${Python3_EXECUTABLE} -m unittest -q tests/generator_test.py
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

# The OpenAPI document a live server serves: the operation table's, with the statuses the
# server answers; and the merge of several packages' documents.
tirn_cross_cutting_test(tirn_openapi_tests tests/openapi_test.cc)
if(TARGET tirn_openapi_tests)
  target_link_libraries(tirn_openapi_tests PRIVATE tirn_http tirn_reference_server)
endif()

# The OpenAPI documents of the package and of the guide's shop, checked by validators written
# elsewhere (tools/openapi: swagger-parser, Redocly's rules, Ajv), against the answers the HTTP
# tests read, and by a client generated from them (openapi-typescript, openapi-fetch, tsc); all
# of them `npm ci` installs into the build tree from the pinned lock file. Runs in the optimised
# build only: it starts Node.js and needs the npm registry once.
if(TIRN_PROCESS_TESTS AND NOT TIRN_SANITIZE)
  find_program(TIRN_NODE node)
  find_program(TIRN_NPM npm)
  set(TIRN_OPENAPI_DIR ${PROJECT_BINARY_DIR}/openapi)
  set(TIRN_SHOP_OPENAPI ${TIRN_OPENAPI_DIR}/com.example.shop.json)
  add_custom_command(
    OUTPUT ${TIRN_SHOP_OPENAPI}
    COMMAND ${Python3_EXECUTABLE} ${TIRN_GENERATOR} ${PROJECT_SOURCE_DIR}/docs/examples/shop.tidl
            --statuses ${TIRN_ERROR_STATUSES} --openapi ${TIRN_SHOP_OPENAPI}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/examples/shop.tidl ${TIRN_GENERATOR_FILES}
            ${TIRN_ERROR_STATUSES}
    COMMENT "Writing the OpenAPI document of the guide's shop"
    VERBATIM)
  add_custom_target(tirn_openapi_documents ALL DEPENDS ${TIRN_SHOP_OPENAPI})
  add_dependencies(tirn_openapi_documents tirn_trusted_infrastructure_generate)

  add_test(NAME openapi.install
           COMMAND ${CMAKE_COMMAND} -DNPM=${TIRN_NPM} -DSOURCE=${PROJECT_SOURCE_DIR}/tools/openapi
                   -DTARGET=${TIRN_OPENAPI_DIR}/validators
                   -P ${PROJECT_SOURCE_DIR}/tools/openapi/npm_ci.cmake)
  set_tests_properties(openapi.install PROPERTIES FIXTURES_SETUP openapi_validators TIMEOUT 600)
  get_target_property(TIRN_PACKAGE_OPENAPI tirn_trusted_infrastructure TIRN_OPENAPI_DOCUMENT)
  add_test(NAME openapi.validate
           COMMAND ${TIRN_NODE} ${PROJECT_SOURCE_DIR}/tools/openapi/check.cjs
                   --redocly ${PROJECT_SOURCE_DIR}/tools/openapi/redocly.yaml
                   --cases ${PROJECT_SOURCE_DIR}/tests/openapi_cases.json
                   ${TIRN_PACKAGE_OPENAPI} ${TIRN_SHOP_OPENAPI})
  set_tests_properties(openapi.validate PROPERTIES
    FIXTURES_REQUIRED openapi_validators
    ENVIRONMENT NODE_PATH=${TIRN_OPENAPI_DIR}/validators/node_modules
    TIMEOUT 300)

  # Every answer the HTTP tests read fits the package's document: the schema of its operation,
  # status and media type. The tests of TIRN_RECORDING_TESTS, and the server program's raw
  # requests, record their answers afresh in each run, before openapi.answers reads them.
  add_test(NAME openapi.answers.reset COMMAND ${CMAKE_COMMAND} -E rm -f ${TIRN_RECORDED_ANSWERS})
  set_tests_properties(openapi.answers.reset PROPERTIES FIXTURES_SETUP openapi_answers_reset)
  if(TIRN_BUILD_EXAMPLES AND (NOT TIRN_TEST_FILTER
                              OR "apps/server/server_process_test.cc" MATCHES "${TIRN_TEST_FILTER}"))
    add_test(NAME openapi.answers.server
             COMMAND $<TARGET_FILE:tirn_server_process_tests>
                     --gtest_filter=ServerProgram.RawRequestsAreAnsweredWithTheirStatusAndError)
    set_tests_properties(openapi.answers.server PROPERTIES
      ENVIRONMENT TIRN_RECORD_ANSWERS=${TIRN_RECORDED_ANSWERS}
      FIXTURES_REQUIRED openapi_answers_reset
      FIXTURES_SETUP openapi_answers
      TIMEOUT 120)
  endif()
  add_test(NAME openapi.answers
           COMMAND ${TIRN_NODE} ${PROJECT_SOURCE_DIR}/tools/openapi/validate_answers.cjs
                   --answers ${TIRN_RECORDED_ANSWERS} ${TIRN_PACKAGE_OPENAPI} ${TIRN_SHOP_OPENAPI})
  set_tests_properties(openapi.answers PROPERTIES
    FIXTURES_REQUIRED "openapi_validators;openapi_answers"
    ENVIRONMENT NODE_PATH=${TIRN_OPENAPI_DIR}/validators/node_modules
    TIMEOUT 120)

  # A TypeScript client that openapi-typescript generates from the document a live tirn-server
  # serves, compiled by tsc, calls every operation through openapi-fetch (tools/openapi/client).
  if(TIRN_BUILD_EXAMPLES)
    add_test(NAME openapi.typescript_client
             COMMAND ${TIRN_NODE} ${PROJECT_SOURCE_DIR}/tools/openapi/client/run.cjs
                     --server $<TARGET_FILE:tirn-server>
                     --modules ${TIRN_OPENAPI_DIR}/validators/node_modules
                     --work ${TIRN_OPENAPI_DIR}/typescript-client)
    set_tests_properties(openapi.typescript_client PROPERTIES
      FIXTURES_REQUIRED openapi_validators
      TIMEOUT 300)
  endif()
endif()

# An unsorted known-name array is rejected at compile time; a sorted one is accepted.
foreach(case sorted unsorted)
  add_test(NAME compile_${case}_known_names
           COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fsyntax-only -I${PROJECT_SOURCE_DIR}
                   -I${Boost_INCLUDE_DIRS}
                   ${PROJECT_SOURCE_DIR}/tests/compile_fail/${case}_known_names.cc)
endforeach()
set_tests_properties(compile_unsorted_known_names PROPERTIES
                     PASS_REGULAR_EXPRESSION "known names must be sorted")
