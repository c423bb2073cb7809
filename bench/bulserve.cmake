# The C floor for a bulletin server and the load that drives both;
# bench/bulserve-bench compares bulserve with the floor.
add_executable(bulserve_baseline ${CMAKE_CURRENT_LIST_DIR}/bulserve_baseline.c)
add_executable(bulserve_load ${CMAKE_CURRENT_LIST_DIR}/bulserve_load.c)
