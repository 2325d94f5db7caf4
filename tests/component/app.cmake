# The application as a process of its own (offscreen), against the local service: how it ends.
if(TARGET TavroVPN)
  tv_add_test(app_process_test LABEL component TIMEOUT 180
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/ending_test.cpp
    LIBS tv_platform)
  add_dependencies(app_process_test TavroVPN tavrovpn_resources tavro-service)
endif()
