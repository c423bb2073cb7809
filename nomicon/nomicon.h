// Nomicon, the site name service: strings of a type under a name, held as
// TXT records of class 4 in ordinary DNS servers.
#pragma once

#include <cstdint>
#include <span>
#include <sys/socket.h>

struct servent;

// Status word: -1 not initialised, 0 no error, 1 name not found,
// 2 configuration problem, 3 network problem.
extern int nomicon_status;
// Configuration file path; the client itself never changes it.
extern const char *nomicon_config_file;
// Left- and right-hand sides appended to every built name; null when unset.
extern char *nomicon_lhs;
extern char *nomicon_rhs;
// Resolver tuning: low 16 bits retransmission interval in seconds, high 16
// bits number of tries, each signed; 0 in a half selects 4 s and 3 tries.
extern std::int32_t nomicon_tuning;

// Reads the configuration and the NOM_DOMAIN override; returns the new
// status (0 or 2).
int nomicon_init();

// Builds the DNS name for (name, type) in a static buffer valid until the
// next build; null on failure with the status telling why.
char *nomicon_to_bind(const char *name, const char *type);

int nomicon_error();

// The texts of the TXT records of class 4 under (name, type): a static,
// null-terminated vector overwritten by the next lookup, whose strings are
// fresh heap allocations the caller may keep. Null on failure, with the
// status telling why.
char **nomicon_resolve(const char *name, const char *type);

// A service entry built from the name service's "service" records, newly
// allocated and owned by the caller; null when none matches proto.
struct servent *nomicon_getservbyname(const char *name, const char *proto);

// Name servers named by "nameserver" lines of the configuration, in file order; empty when the
// file names none (the resolver's own configuration is then used). Valid once nomicon_init returned 0.
std::span<const sockaddr_storage> nomicon_nameservers();
