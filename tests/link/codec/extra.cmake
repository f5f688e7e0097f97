# The compressor before its search was rebuilt, the oracle for the streams
# of the current one, and the corpora it is checked on (the codec benchmark
# uses both too).
set(codec_oracle_srcs ${PROJECT_SOURCE_DIR}/tests/link/codec/pklib_before.cpp
                      ${PROJECT_SOURCE_DIR}/tests/link/codec/codec_corpus.cpp)
target_sources(${exe} PRIVATE ${codec_oracle_srcs})

# Where the shared data lives, for when the test environment does not say.
target_compile_definitions(${exe} PRIVATE
  CODEC_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/../shared/data"
  CODEC_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# The codec tests once more, built with AddressSanitizer and UBSan and without
# Qt, so that hostile streams also prove that nothing outside the buffers is
# touched. Cheap: only the codec sources and these tests are instrumented.
if(NOT SKIPMAIL_SANITIZE)
  file(GLOB codec_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/link/codec/*.cpp)
  set(codec_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_executable(test_link_codec_asan ${srcs} ${helpers} ${codec_oracle_srcs} ${codec_srcs})
  target_include_directories(test_link_codec_asan PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(test_link_codec_asan PRIVATE ${codec_san_flags})
  target_link_options(test_link_codec_asan PRIVATE ${codec_san_flags})
  target_link_libraries(test_link_codec_asan PRIVATE GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_definitions(test_link_codec_asan PRIVATE
    CODEC_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/../shared/data"
    CODEC_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME link_codec_asan COMMAND test_link_codec_asan)
  set_tests_properties(link_codec_asan PROPERTIES
    LABELS "sanitizer"
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0;SKIPMAIL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endif()

# libFuzzer target for the expander, only with clang and only on request:
#   cmake --build build --target codec_fuzz && build/codec_fuzz -max_total_time=60
find_program(SKIP_CLANGXX NAMES clang++ clang++-14)
if(SKIP_CLANGXX)
  add_custom_target(codec_fuzz
    COMMAND ${SKIP_CLANGXX} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined
            -I${PROJECT_SOURCE_DIR}/src
            ${PROJECT_SOURCE_DIR}/tests/link/codec/pklib_fuzzer.cpp
            ${PROJECT_SOURCE_DIR}/src/link/codec/pklib.cpp
            ${PROJECT_SOURCE_DIR}/src/link/codec/pklib_tables.cpp
            -o ${CMAKE_BINARY_DIR}/codec_fuzz
    COMMENT "Building the codec fuzzer with clang"
    VERBATIM)
endif()
