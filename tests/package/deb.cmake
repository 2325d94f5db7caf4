# The Debian package: built as ./run package builds it, installed, upgraded, removed and purged in
# a private mount namespace with the system folders overlaid. Root only; alone, since it builds.
tv_add_test(deb_package_test LABEL package OWN_NETNS SERIAL TIMEOUT 1800
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/deb/deb_package_test.cpp
  LIBS tv_channels tv_platform)
