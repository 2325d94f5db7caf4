# The parsers are compiled into the target itself so that libFuzzer sees their coverage.
tv_add_fuzzer(fuzz_helper_msg
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/helper_msg_fuzz.cpp
    ${PROJECT_SOURCE_DIR}/helper/HelperLog.cpp
    ${PROJECT_SOURCE_DIR}/helper/HelperMessage.cpp
    ${PROJECT_SOURCE_DIR}/helper/OvpnConfigFilter.cpp
    ${PROJECT_SOURCE_DIR}/helper/ShellQuote.cpp
    ${PROJECT_SOURCE_DIR}/helper/TunnelCommand.cpp
    ${PROJECT_SOURCE_DIR}/protocol/HelperProtocol.cpp
  LIBS tv_platform)
