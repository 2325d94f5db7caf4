# Click -> connected against the OpenVPN fixture (bench/openvpnflow.bench.sh prints the ratio).
if(TARGET tv_app)
  add_executable(bench_openvpnflow ${CMAKE_CURRENT_LIST_DIR}/openvpnflow/openvpnflow_bench.cpp)
  target_include_directories(bench_openvpnflow PRIVATE
    ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support ${PROJECT_SOURCE_DIR}/tests/e2e/openvpnflow)
  target_link_libraries(bench_openvpnflow PRIVATE tv_app)
  foreach(dep tavrovpn_resources tavro-service tvapphelper tvapphelper-supervise)
    if(TARGET ${dep})
      add_dependencies(bench_openvpnflow ${dep})
    endif()
  endforeach()
endif()
