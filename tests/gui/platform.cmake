# The GUI-thread glue of platform/qt, offscreen: alerts, window frames, session and network events.
tv_add_test(platform_gui_test LABEL gui QT_MAIN TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform/alerts_frames_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/platform/session_events_test.cpp
  LIBS tv_platform_qt)
