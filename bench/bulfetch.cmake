# The C floor for a whole bulfetch run; bench/bulfetch-bench compares the two.
add_executable(bulfetch_baseline ${CMAKE_CURRENT_LIST_DIR}/bulfetch_baseline.c)
target_compile_definitions(bulfetch_baseline PRIVATE
  NOMICON_CONFIG_FILE="${NOMICON_CONFIG_FILE}"
  NOMICON_DEFAULT_RHS="${NOMICON_DEFAULT_RHS}"
  BULFETCH_FALLBACK_FILE="${BULFETCH_FALLBACK_FILE}")
target_link_libraries(bulfetch_baseline PRIVATE resolv)
