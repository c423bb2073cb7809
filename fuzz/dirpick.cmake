# dirpick: command-line parsing (driving the whole search) and template
# expansion.
calyx_fuzz_target(dirpick_parse_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dirpick_parse_fuzz.cc
  LIBS dirpick_core
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/dirpick_parse)
calyx_fuzz_target(dirpick_expand_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dirpick_expand_fuzz.cc
  LIBS dirpick_core
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/dirpick_expand)
