# The local mail service inside the whole station, with real mail clients.
add_executable(test_mail_e2e ${PROJECT_SOURCE_DIR}/tests/mail/e2e/local_mail_e2e.cpp
                             ${PROJECT_SOURCE_DIR}/tests/mail/mail_test_helpers.cpp)
target_link_libraries(test_mail_e2e PRIVATE skip_app skip_testsupport GTest::gtest Qt6::Test)
target_include_directories(test_mail_e2e PRIVATE ${PROJECT_SOURCE_DIR}/tests)
gtest_discover_tests(test_mail_e2e WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                     DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180 LABELS load)
# The mail gateway inside the whole station, between mail clients and fake
# Internet servers.
add_executable(test_gateway_e2e ${PROJECT_SOURCE_DIR}/tests/mail/e2e/gateway_e2e.cpp
                                ${PROJECT_SOURCE_DIR}/tests/mail/mail_test_helpers.cpp)
target_link_libraries(test_gateway_e2e PRIVATE skip_app skip_testsupport GTest::gtest Qt6::Test)
target_include_directories(test_gateway_e2e PRIVATE ${PROJECT_SOURCE_DIR}/tests)
gtest_discover_tests(test_gateway_e2e WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                     DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
