# The 10 MB round trip is a load test of its own program, so that it carries
# the "load" label and its own time limit.
add_executable(test_serial_load ${PROJECT_SOURCE_DIR}/tests/serial/load/round_trip_load.cpp
               ${helpers})
target_link_libraries(test_serial_load PRIVATE skip_serial skip_testsupport GTest::gtest)
target_include_directories(test_serial_load PRIVATE ${PROJECT_SOURCE_DIR}/tests)
add_test(NAME SerialLoad.TenMegabytesEachWay COMMAND test_serial_load)
set_tests_properties(SerialLoad.TenMegabytesEachWay PROPERTIES
                     LABELS load TIMEOUT 120
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
