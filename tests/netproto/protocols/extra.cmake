# The load runs are a program of their own, so that each carries the "load"
# label and its own time limit.
add_executable(test_netproto_protocols_load
               ${PROJECT_SOURCE_DIR}/tests/netproto/protocols/load/server_load.cpp ${helpers})
target_link_libraries(test_netproto_protocols_load PRIVATE skip_netproto skip_testsupport
                      GTest::gtest)
target_include_directories(test_netproto_protocols_load PRIVATE ${PROJECT_SOURCE_DIR}/tests)
foreach(case FiveHundredConcurrentSessionsTenMessagesEach TenThousandConnectQuitCyclesReturnToBaseline
        EmptyOneAndFiftyMegabyteMessagesWithBoundedMemory GarbageAndOversizeCommandLines)
  add_test(NAME SmtpLoad.${case}
           COMMAND test_netproto_protocols_load --gtest_filter=SmtpLoad.${case})
  set_tests_properties(SmtpLoad.${case} PROPERTIES
                       LABELS load TIMEOUT 120 RUN_SERIAL TRUE
                       ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endforeach()
