# Real helper + openvpn + OpenVPN server in a network namespace; root only, one at a time (17505).
tv_add_test(ovpn_e2e_test LABEL e2e SERIAL TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ovpn/ovpn_e2e_test.cpp
  LIBS tv_channels tv_platform Threads::Threads)
