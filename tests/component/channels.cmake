tv_add_test(channels_component_test LABEL component
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/channels/helpersocket_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/channels/mgmt_client_test.cpp
  LIBS tv_channels Threads::Threads
  TIMEOUT 120)
