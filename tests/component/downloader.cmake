# The service's web side (app/service): the synchronous downloader against an HTTPS server started by
# the test on 127.0.0.1, and the public-address answer.
pkg_check_modules(TVCAT_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
tv_add_test(tv_downloader_test LABEL component TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/downloader/downloader_test.cpp
  LIBS tv_service PkgConfig::TVCAT_HTTPLIB)
target_include_directories(tv_downloader_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit/catalogue)
