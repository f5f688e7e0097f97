# The terminal once more, built with AddressSanitizer and UBSan: a bounded
# mutation run of host byte streams and mapping tables proves that nothing
# outside the arrays is touched. Only the terminal and the library units it
# stands on (base and sockets) are instrumented.
if(NOT SKIPMAIL_SANITIZE)
  file(GLOB term_san_srcs CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/netlib/term/*.cpp ${PROJECT_SOURCE_DIR}/src/netlib/term/*.h
       ${PROJECT_SOURCE_DIR}/src/netlib/base/*.cpp ${PROJECT_SOURCE_DIR}/src/netlib/base/*.h
       ${PROJECT_SOURCE_DIR}/src/netlib/sock/*.cpp ${PROJECT_SOURCE_DIR}/src/netlib/sock/*.h)
  set(term_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_executable(test_netlib_term_asan ${PROJECT_SOURCE_DIR}/tests/netlib/term/ip_term_mutation.cpp
                 ${term_san_srcs})
  target_include_directories(test_netlib_term_asan PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(test_netlib_term_asan PRIVATE ${term_san_flags})
  target_link_options(test_netlib_term_asan PRIVATE ${term_san_flags})
  target_link_libraries(test_netlib_term_asan PRIVATE skip_netproto skip_platform GTest::gtest Qt6::Widgets)
  add_test(NAME netlib_term_asan COMMAND test_netlib_term_asan)
  set_tests_properties(netlib_term_asan PROPERTIES
    LABELS "sanitizer"
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0;QT_QPA_PLATFORM=offscreen")
endif()
