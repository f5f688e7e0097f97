# The oracle script is found from the source tree even when the test
# environment does not carry SKIPMAIL_SOURCE_DIR.
target_compile_definitions(${exe} PRIVATE SKIPMAIL_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
