# The L2TP flow against a real NetworkManager in a network namespace, with the real helper.
# Root only; one at a time (the fixture's namespace names).
tv_add_test(l2tp_e2e_test LABEL e2e OWN_NETNS SERIAL QT_MAIN TIMEOUT 400
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/l2tp/l2tp_e2e_test.cpp
  LIBS tv_connection)
target_include_directories(l2tp_e2e_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/l2tp)
add_dependencies(l2tp_e2e_test tavro-service tvapphelper tvapphelper-supervise)

# The client that `./run test l2tp-vm` runs inside the QEMU guest: built here, never a CTest test.
add_executable(l2tp_vm_client ${CMAKE_CURRENT_LIST_DIR}/l2tp/l2tp_vm_client.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/test_env.cpp)
target_include_directories(l2tp_vm_client PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support
  ${CMAKE_CURRENT_LIST_DIR}/l2tp)
target_compile_definitions(l2tp_vm_client PRIVATE TV_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  TV_TEST_BINARY_DIR="${PROJECT_BINARY_DIR}")
target_link_libraries(l2tp_vm_client PRIVATE tv_connection Qt6::Widgets)
set_target_properties(l2tp_vm_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
add_dependencies(l2tp_vm_client tavro-service tvapphelper tvapphelper-supervise)
