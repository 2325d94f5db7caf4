# tv_shell_core: the shell's Qt-free pieces (synchronous download, update file). Included from
# app/shell/CMakeLists.txt and, until that exists, from app/catalogue; defined once either way.
if(TARGET tv_shell_core)
  return()
endif()
add_library(tv_shell_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FileDownloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpdateXmlParser.cpp)
target_include_directories(tv_shell_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(tv_shell_core PRIVATE TAVROVPN_VERSION="${PROJECT_VERSION}")
target_link_libraries(tv_shell_core PUBLIC tv_catalogue tv_platform CURL::libcurl)
