# The C floor for a dirpick run; bench/dirpick-bench compares the two.
add_executable(dirpick_baseline ${CMAKE_CURRENT_LIST_DIR}/dirpick_baseline.c)
