# The program itself, started headless in a fresh data root.
add_test(NAME StationSmoke.StartsFilesMailAndStopsOnSigterm
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/app/station_smoke.py $<TARGET_FILE:skipmail>
                 $<TARGET_FILE:skip_modem_sim>)
set_tests_properties(StationSmoke.StartsFilesMailAndStopsOnSigterm PROPERTIES
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 90)
# The program where nobody can answer a box: no display at all with both mail
# ports taken, a modem that reports a hardware error, Ctrl+C or a hang-up, a
# second station in one data root (also through a mount that passes locks on,
# as NFS does), a modem that never answers, a lock file that cannot be
# locked, one another program holds a read lock on, and a modem that goes
# away and comes back.
foreach(case port-clash hardware-error interrupt hangup second-station second-station-mounted
        silent-modem lock-link lock-other-user lock-read-only lock-read-locked modem-lost)
  add_test(NAME StationHeadless.${case}
           COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/app/station_headless.py
                   $<TARGET_FILE:skipmail> $<TARGET_FILE:skip_modem_sim> ${case})
  set_tests_properties(StationHeadless.${case} PROPERTIES TIMEOUT 90)
endforeach()
