# The local HTTPS service: its parts on their own, then the real binary over loopback.
tv_add_test(service_parts_test LABEL component
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service/service_parts_test.cpp
  LIBS tv_service_core)
tv_add_test(service_test LABEL component TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service/service_test.cpp
  LIBS tv_service_core CURL::libcurl EXPAT::EXPAT)
target_compile_definitions(service_test PRIVATE TAVROVPN_VERSION="${PROJECT_VERSION}"
  TAVRO_SERVICE_BINARY_DIR="${PROJECT_BINARY_DIR}")
add_dependencies(service_test tavro-service)
