# The OpenVPN flow against the real helper, openvpn and an OpenVPN server in a network namespace.
# Root only; one at a time (management port 17505); each test in a private mount namespace.
tv_add_test(openvpnflow_e2e_test LABEL e2e OWN_NETNS SERIAL QT_MAIN TIMEOUT 400
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvpnflow/openvpnflow_e2e_test.cpp
  LIBS tv_connection)
target_include_directories(openvpnflow_e2e_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/openvpnflow)
add_dependencies(openvpnflow_e2e_test tavrovpn_resources tavro-service tvapphelper tvapphelper-supervise)
