# The oracle script is found from the source tree even when the test
# environment does not carry SKIPMAIL_SOURCE_DIR.
target_compile_definitions(${exe} PRIVATE SKIPMAIL_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# The mutation test once more with AddressSanitizer and UBSan. Cheap: only the
# MIME sources and the texts and utilities they use are instrumented.
if(NOT SKIPMAIL_SANITIZE)
  file(GLOB mime_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/netlib/mime/*.cpp)
  set(mime_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_executable(test_netlib_mime_asan
    ${PROJECT_SOURCE_DIR}/tests/netlib/mime/mime_mutation_test.cpp
    ${mime_srcs}
    ${PROJECT_SOURCE_DIR}/src/netlib/base/ip_const.cpp
    ${PROJECT_SOURCE_DIR}/src/netlib/base/ip_utils.cpp)
  target_include_directories(test_netlib_mime_asan PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(test_netlib_mime_asan PRIVATE ${mime_san_flags})
  target_link_options(test_netlib_mime_asan PRIVATE ${mime_san_flags})
  target_link_libraries(test_netlib_mime_asan PRIVATE skip_netproto skip_platform GTest::gtest_main)
  add_test(NAME netlib_mime_asan COMMAND test_netlib_mime_asan)
  set_tests_properties(netlib_mime_asan PROPERTIES
    LABELS "sanitizer"
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0")
endif()
