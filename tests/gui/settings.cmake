# Settings window, region selection list, menus and termination, single instance (offscreen Qt).
tv_add_test(settings_gui_test LABEL gui QT_MAIN
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/settings/SettingsFixture.h
    ${CMAKE_CURRENT_LIST_DIR}/settings/settings_window_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings/server_selection_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings/menus_test.cpp
  LIBS tv_app)
if(TARGET tavrovpn_resources)
  add_dependencies(settings_gui_test tavrovpn_resources)
endif()
# The bundle the resources are built into, for when the runner's environment does not reach the test.
target_compile_definitions(settings_gui_test PRIVATE TAVROVPN_TEST_BUNDLE="${PROJECT_BINARY_DIR}/TavroVPN.app")
