# Server-list parse time (bench/catalogue.bench.sh compares it with python3's xml.sax).
add_executable(bench_catalogue_parse ${CMAKE_CURRENT_LIST_DIR}/catalogue/serverlist_bench.cpp)
target_link_libraries(bench_catalogue_parse PRIVATE tv_catalogue)
