tv_add_test(shell_gui_test LABEL gui QT_MAIN TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell/launch_test.cpp ${CMAKE_CURRENT_LIST_DIR}/shell/status_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/shell/session_test.cpp
  LIBS tv_app)
add_dependencies(shell_gui_test tavrovpn_resources tavro-service)
