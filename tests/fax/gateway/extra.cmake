# The pages and line harness of the engine's tests.
target_sources(test_fax_gateway PRIVATE ${PROJECT_SOURCE_DIR}/tests/fax/fax_test_helpers.cpp)
# The fax gateway inside the whole station, between a mail client and a fax
# machine on the far end of the test line.
add_executable(test_fax_gateway_e2e
  ${PROJECT_SOURCE_DIR}/tests/fax/gateway/e2e/fax_gateway_e2e.cpp
  ${PROJECT_SOURCE_DIR}/tests/fax/gateway/gateway_helpers.cpp
  ${PROJECT_SOURCE_DIR}/tests/fax/fax_test_helpers.cpp
  ${PROJECT_SOURCE_DIR}/tests/mail/mail_test_helpers.cpp)
target_link_libraries(test_fax_gateway_e2e PRIVATE skip_app skip_testsupport GTest::gtest Qt6::Test)
target_include_directories(test_fax_gateway_e2e PRIVATE ${PROJECT_SOURCE_DIR}/tests)
gtest_discover_tests(test_fax_gateway_e2e WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                     DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 240 LABELS load)
# The gateway's retries over the simulated telephone line in real time.
set(load_tests "FaxGatewayLine.*")
