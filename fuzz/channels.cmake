# The channel sources are compiled into the target so that the fuzzer instruments them.
tv_add_fuzzer(fuzz_checkstat
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/checkstat_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/app/channels/ChannelIO.cpp
          ${PROJECT_SOURCE_DIR}/app/channels/helpersocket.cpp
          ${PROJECT_SOURCE_DIR}/app/channels/ManagementOwner.cpp
          ${PROJECT_SOURCE_DIR}/app/channels/OVPNUtil.cpp
          ${PROJECT_SOURCE_DIR}/protocol/HelperProtocol.cpp
  LIBS tv_platform)
