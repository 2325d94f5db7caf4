# The L2TP start and the system VPN service's status callback, offscreen, with a fake helper.
tv_add_test(l2tp_gui_test LABEL gui QT_MAIN TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/connection/l2tp_test.cpp
  LIBS tv_connection)
target_include_directories(l2tp_gui_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/connection)
