# Server list and update file parsers (seeds: fuzz/seeds/serverlist, fuzz/seeds/update).
# The parser sources are compiled into each target so that they carry the fuzzer's coverage
# instrumentation (the libraries are built without it).
set(tv_fuzz_catalogue_src
  ${PROJECT_SOURCE_DIR}/app/catalogue/XmlEventParser.cpp
  ${PROJECT_SOURCE_DIR}/app/catalogue/ServerInfo.cpp
  ${PROJECT_SOURCE_DIR}/app/catalogue/PexXmlParser.cpp
  ${PROJECT_SOURCE_DIR}/app/catalogue/VPNPreferences.cpp)
tv_add_fuzzer(fuzz_serverlist
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue/serverlist_fuzzer.cpp ${tv_fuzz_catalogue_src}
  LIBS tv_platform tv_service EXPAT::EXPAT PkgConfig::UTF8PROC)
tv_add_fuzzer(fuzz_update
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue/update_fuzzer.cpp ${PROJECT_SOURCE_DIR}/app/shell/UpdateXmlParser.cpp
          ${PROJECT_SOURCE_DIR}/app/catalogue/XmlEventParser.cpp
  LIBS tv_platform EXPAT::EXPAT)
target_compile_definitions(fuzz_serverlist PRIVATE XML_DTD)
target_compile_definitions(fuzz_update PRIVATE XML_DTD TAVROVPN_VERSION="${PROJECT_VERSION}")
