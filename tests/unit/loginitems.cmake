# Login items on XDG autostart entries: plain C++, no Qt.
tv_add_test(loginitems_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/loginitems/loginitems_test.cpp ${PROJECT_SOURCE_DIR}/app/shell/LoginItems.cpp
  LIBS tv_platform)
