# Catalogue, preferences store and update file: plain C++, no Qt.
tv_add_test(tv_defaults_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue/defaults_test.cpp
  LIBS tv_platform)
tv_add_test(tv_catalogue_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue/catalogue_test.cpp
  LIBS tv_catalogue)
tv_add_test(tv_update_xml_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue/update_xml_test.cpp
  LIBS tv_shell_core)
