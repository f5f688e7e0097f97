# What `make run` runs: the station on the simulated modem, checked headless.
add_test(NAME RunStation.ModemConfiguredAndRadioScanning
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/link/window/run_station_check.py
                 ${PROJECT_SOURCE_DIR}/scripts/run-station ${PROJECT_BINARY_DIR})
# It waits for a real 5 s scan step.
set_tests_properties(RunStation.ModemConfiguredAndRadioScanning PROPERTIES TIMEOUT 90 LABELS load)
