# The connect button, the automatic protocol cycle and the OpenVPN flow, offscreen, against the
# local service, a fake helper and a scripted management peer.
tv_add_test(connection_gui_test LABEL gui QT_MAIN TIMEOUT 600
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/connection/poll_test.cpp ${CMAKE_CURRENT_LIST_DIR}/connection/flow_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/connection/dns_test.cpp
  LIBS tv_connection)
add_dependencies(connection_gui_test tavrovpn_resources tavro-service)

# set-dns.sh on a scratch resolver file (no root needed, nothing outside the test's folder).
tv_add_test(setdns_script_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/connection/setdns_test.cpp
  LIBS tv_platform)
