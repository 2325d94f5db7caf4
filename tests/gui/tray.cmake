# A real X server and tray host (label gui-x11): the status icon is really shown.
add_executable(tray_x11_test ${CMAKE_CURRENT_LIST_DIR}/tray/tray_test.cpp ${PROJECT_SOURCE_DIR}/tests/support/qt_test_main.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/test_env.cpp)
target_include_directories(tray_x11_test PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support
  ${CMAKE_CURRENT_LIST_DIR}/shell)
target_compile_definitions(tray_x11_test PRIVATE TV_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                 TV_TEST_BINARY_DIR="${PROJECT_BINARY_DIR}")
target_link_libraries(tray_x11_test PRIVATE tv_app GTest::gtest Qt6::Widgets)
add_dependencies(tray_x11_test tavrovpn_resources tavro-service)
add_test(NAME TrayTest.LaunchShowsTheStatusIconInTheTray
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/tray/run-under-xvfb.sh $<TARGET_FILE:tray_x11_test>
          --gtest_filter=TrayTest.LaunchShowsTheStatusIconInTheTray)
set_tests_properties(TrayTest.LaunchShowsTheStatusIconInTheTray PROPERTIES
  LABELS gui-x11 TIMEOUT 120 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
  ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp")
add_test(NAME TrayTest.ATrayHostStartedAfterTheLaunchGetsTheStatusIcon
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/tray/run-under-xvfb.sh $<TARGET_FILE:tray_x11_test>
          --gtest_filter=TrayTest.ATrayHostStartedAfterTheLaunchGetsTheStatusIcon)
set_tests_properties(TrayTest.ATrayHostStartedAfterTheLaunchGetsTheStatusIcon PROPERTIES
  LABELS gui-x11 TIMEOUT 120 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
  ENVIRONMENT "TRAY_DELAY=5;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp")
