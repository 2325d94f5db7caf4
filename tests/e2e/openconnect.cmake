# Real helper under its supervisor + openconnect + ocserv in a network namespace + the local
# service, with the manager driving the offscreen window. Root only, one at a time.
if(TARGET tv_app)
  tv_add_test(openconnect_e2e_test LABEL e2e OWN_NETNS SERIAL QT_MAIN TIMEOUT 300
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/openconnect/openconnect_e2e_test.cpp
    LIBS tv_connection)
  foreach(dep tvapphelper tvapphelper-supervise tavro-service tavrovpn_resources)
    if(TARGET ${dep})
      add_dependencies(openconnect_e2e_test ${dep})
    endif()
  endforeach()
endif()
