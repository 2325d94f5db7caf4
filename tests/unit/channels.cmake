tv_add_test(channels_unit_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/channels/ovpnutil_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/channels/management_owner_test.cpp
  LIBS tv_channels)
