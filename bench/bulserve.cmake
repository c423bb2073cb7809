# The C floor for a bulletin server and the load that drives both;
# bench/bulserve-bench compares bulserve with the floor.
add_executable(bulserve_baseline ${CMAKE_CURRENT_LIST_DIR}/bulserve_baseline.c)
add_executable(bulserve_load ${CMAKE_CURRENT_LIST_DIR}/bulserve_load.c)
# The cost of the per-request rate limit decision alone.
add_executable(rate_limit_cost ${CMAKE_CURRENT_LIST_DIR}/rate_limit_cost.cc)
target_link_libraries(rate_limit_cost PRIVATE bulserve_core)
