# The OpenConnect manager offscreen: status.log polls and whole attempts against a scripted probe
# program and a stand-in helper socket.
tv_add_test(openconnect_gui_test LABEL gui QT_MAIN TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openconnect/status_test.cpp ${CMAKE_CURRENT_LIST_DIR}/openconnect/attempt_test.cpp
  LIBS tv_connection)
