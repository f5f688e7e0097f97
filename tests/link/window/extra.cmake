# The two-station rig of the link's windows.
target_sources(${exe} PRIVATE ${PROJECT_SOURCE_DIR}/tests/link/windows/window_helpers.cpp)
# What `make run` runs: the station on the simulated modem, checked headless.
add_test(NAME RunStation.ModemConfiguredAndRadioScanning
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/link/window/run_station_check.py
                 ${PROJECT_SOURCE_DIR}/scripts/run-station ${PROJECT_BINARY_DIR})
# It waits for a real 5 s scan step.
set_tests_properties(RunStation.ModemConfiguredAndRadioScanning PROPERTIES TIMEOUT 90 LABELS load)
# What scripts/run-pair runs: two stations on one sky exchanging mail with
# real mail clients. It waits for the first automatic link (a minute).
add_test(NAME RunPair.MailCrossesTheSimulatedAir
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/link/window/run_pair_check.py
                 ${PROJECT_SOURCE_DIR}/scripts/run-pair ${PROJECT_BINARY_DIR})
set_tests_properties(RunPair.MailCrossesTheSimulatedAir PROPERTIES TIMEOUT 400 LABELS load)
