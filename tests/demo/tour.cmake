# Smoke test of the whole demo: ./run demo --tour against real servers, the helper and the
# application. Root only (real tunnels); alone, like the e2e tests (management port 17505).
if(TARGET tavrovpn-tour)
  add_test(NAME DemoTour.EveryStepShowsWhatItShould
    COMMAND /bin/sh -c "[ \"$(id -u)\" -eq 0 ] || { echo 'SKIPPED: the tour runs real tunnels (root)'; exit 77; }; exec \"$0\" \"$1\" --tour"
            ${PROJECT_SOURCE_DIR}/tools/demo.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(DemoTour.EveryStepShowsWhatItShould PROPERTIES
    LABELS demo TIMEOUT 600 RUN_SERIAL TRUE SKIP_RETURN_CODE 77 ENVIRONMENT "DISPLAY=")
endif()
