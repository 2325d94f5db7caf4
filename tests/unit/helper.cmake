tv_add_test(helper_unit_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/helper/message_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/config_filter_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/leak_block_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/peer_check_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/task_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/tunnel_line_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper/working_files_test.cpp
  LIBS tv_helper)
