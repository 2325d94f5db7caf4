# Faults injected into real OpenVPN and OpenConnect tunnels driven by the real application, helper
# and servers; root only. Each protocol prints a table of its cases, runs and passes (also left in
# build/faults/). The two run side by side: separate namespaces, networks and helpers; everything
# else that uses the management port 17505 runs alone.
if(TARGET TavroVPN)
  tv_add_test(faults_test LABEL faults OWN_NETNS TIMEOUT 1500
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/faults_test.cpp
    LIBS tv_platform)
  add_dependencies(faults_test TavroVPN tavrovpn_resources tavro-service tvapphelper tvapphelper-supervise)
endif()
