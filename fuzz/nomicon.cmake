# Name-service client: the answer scanner with the TXT join, the
# configuration reader and the service-string parser.
calyx_fuzz_target(nomicon_scan_fuzz SOURCES nomicon_scan_fuzz.cc LIBS nomicon
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/nomicon_scan)
calyx_fuzz_target(nomicon_config_fuzz SOURCES nomicon_config_fuzz.cc LIBS nomicon
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/nomicon_config)
calyx_fuzz_target(nomicon_service_fuzz SOURCES nomicon_service_fuzz.cc LIBS nomicon
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/nomicon_service)
