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

# The server tests once more with ThreadSanitizer: the servers run every
# connection on a thread of its own, and stopping races with connections
# that end by themselves. Only the protocol components are instrumented.
if(NOT SKIPMAIL_SANITIZE)
  file(GLOB_RECURSE netproto_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/netproto/*.cpp)
  set(netproto_tsan_flags -fsanitize=thread -fno-omit-frame-pointer)
  add_executable(test_netproto_protocols_tsan ${srcs} ${helpers} ${netproto_srcs}
                 ${PROJECT_SOURCE_DIR}/tests/support/peer_process.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/shell_command.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/test_files.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/test_host.cpp)
  target_include_directories(test_netproto_protocols_tsan PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(test_netproto_protocols_tsan PRIVATE ${netproto_tsan_flags})
  target_link_options(test_netproto_protocols_tsan PRIVATE ${netproto_tsan_flags})
  target_link_libraries(test_netproto_protocols_tsan PRIVATE skip_platform GTest::gtest_main)
  # The temporary-folder test needs a process of its own (the folder is read
  # once per process); the plain run gives it one.
  add_test(NAME netproto_protocols_tsan COMMAND test_netproto_protocols_tsan
           --gtest_filter=-SmtpFixture.NoRoomForATemporaryFileGets452AndTheSessionGoesOn)
  set_tests_properties(netproto_protocols_tsan PROPERTIES
    LABELS "sanitizer" TIMEOUT 300
    ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1;QT_QPA_PLATFORM=offscreen;SKIPMAIL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endif()
