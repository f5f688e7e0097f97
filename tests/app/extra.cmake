# The program itself, started headless in a fresh data root.
add_test(NAME StationSmoke.StartsFilesMailAndStopsOnSigterm
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/app/station_smoke.py $<TARGET_FILE:skipmail>
                 $<TARGET_FILE:skip_modem_sim>)
set_tests_properties(StationSmoke.StartsFilesMailAndStopsOnSigterm PROPERTIES
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 90)
