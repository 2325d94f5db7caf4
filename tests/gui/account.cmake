# The login window and the custom fields and image views, offscreen.
tv_add_test(account_gui_test LABEL gui QT_MAIN TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/account/login_window_test.cpp ${CMAKE_CURRENT_LIST_DIR}/account/widgets_test.cpp
  LIBS tv_account)
add_dependencies(account_gui_test tavrovpn_resources TavroVPN)
