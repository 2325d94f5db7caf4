# Back-to-back exchanges with the helper under its supervisor and socket activation, next to a
# plain Unix-socket echo (bench/helper.bench.sh).
add_executable(bench_helper ${CMAKE_CURRENT_LIST_DIR}/helper/helper_bench.cpp)
target_include_directories(bench_helper PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_helper PRIVATE tv_platform Threads::Threads)
add_dependencies(bench_helper tvapphelper tvapphelper-supervise)
