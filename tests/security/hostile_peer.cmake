# The privilege boundary against a hostile user: the real helper under its supervisor, the real
# tunnel programs and set-dns.sh. Root only; one at a time (management port 17505); every test in
# a private mount namespace.
tv_add_test(hostile_peer_security_test LABEL security OWN_NETNS SERIAL TIMEOUT 300
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_peer/hostile_peer_test.cpp
  LIBS tv_channels tv_platform Threads::Threads)
add_dependencies(hostile_peer_security_test tvapphelper tvapphelper-supervise)
