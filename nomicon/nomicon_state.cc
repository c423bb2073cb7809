#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

#ifndef NOMICON_CONFIG_FILE
#error "NOMICON_CONFIG_FILE must be set by the build"
#endif
#ifndef NOMICON_DEFAULT_RHS
#error "NOMICON_DEFAULT_RHS must be set by the build"
#endif

int nomicon_status = -1;
const char *nomicon_config_file = NOMICON_CONFIG_FILE;
char *nomicon_lhs = nullptr;
char *nomicon_rhs = nullptr;
std::int32_t nomicon_tuning = 0;

char nomicon_default_lhs[] = ".ns";
char nomicon_default_rhs[] = NOMICON_DEFAULT_RHS;

sockaddr_storage nomicon_nameserver_list[NOMICON_MAX_NAMESERVERS];
int nomicon_nameserver_count = 0;
