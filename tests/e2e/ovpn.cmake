# Real helper + openvpn + OpenVPN server in a network namespace; root only, one at a time (17505).
tv_add_test(ovpn_e2e_test LABEL e2e OWN_NETNS SERIAL TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ovpn/ovpn_e2e_test.cpp
  LIBS tv_channels tv_platform Threads::Threads)
# The test runs the helper under its supervisor: build them with it.
foreach(dep tvapphelper tvapphelper-supervise)
  if(TARGET ${dep})
    add_dependencies(ovpn_e2e_test ${dep})
  endif()
endforeach()
