tv_add_test(helper_component_test LABEL component OWN_NETNS SERIAL TIMEOUT 300
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/helper/HelperHarness.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/server_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/launcher_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/supervisor_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/provisioning_test.cpp
  LIBS tv_helper)
# The tests start the built helper and supervisor, not only the library.
add_dependencies(helper_component_test tvapphelper tvapphelper-supervise)
