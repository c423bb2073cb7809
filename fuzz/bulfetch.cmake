# Bulletin client: the record's stamp and checks with the seen comparison,
# and the terminal-safe copy of a body.
calyx_fuzz_target(bulfetch_record_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bulfetch_record_fuzz.cc
  LIBS bulfetch_core
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/bulfetch_record)
