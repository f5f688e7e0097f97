# The pages and line harness of the engine's tests.
target_sources(test_fax_server PRIVATE ${PROJECT_SOURCE_DIR}/tests/fax/fax_test_helpers.cpp)
# A job over the simulated telephone line in real time.
set(load_tests "FaxServerLine.*")
