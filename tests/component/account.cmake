# Login against the real local service (tools/service): request bytes, answers, alerts, windows.
if(TARGET tv_app AND TARGET tavro-service)
  tv_add_test(account_component_test LABEL component QT_MAIN
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/account/sbauth_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/account/ServiceRecord.cpp
    LIBS tv_account nlohmann_json::nlohmann_json
    TIMEOUT 300)
  add_dependencies(account_component_test tavro-service)
endif()
