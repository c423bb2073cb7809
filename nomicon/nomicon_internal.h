// Pieces of the name-service client shared between its own units and
// exposed so that tests and fuzzers can drive them directly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <sys/socket.h>

struct servent;

// Reader for configuration lines: pieces of at most this many characters.
inline constexpr int NOMICON_LINE_LIMIT = 262;
// The built name and its terminating NUL.
inline constexpr int NOMICON_NAME_SIZE = 256;
inline constexpr int NOMICON_MAX_RESULTS = 100;
// Up to 14 aliases and the null entry.
inline constexpr int NOMICON_MAX_ALIASES = 14;

// Built-in sides, used when the configuration file cannot be opened. Not
// const only because the sides are plain char pointers; never written.
extern char nomicon_default_lhs[];
extern char nomicon_default_rhs[];

// The resolver library asks at most this many servers; further
// "nameserver" lines are checked but not used.
inline constexpr int NOMICON_MAX_NAMESERVERS = 3;
// The name servers of the configuration, in file order, each with port 53.
extern sockaddr_storage nomicon_nameserver_list[NOMICON_MAX_NAMESERVERS];
extern int nomicon_nameserver_count;

enum ConfigLineKind { CONFIG_IGNORE, CONFIG_LHS, CONFIG_RHS, CONFIG_NAMESERVER, CONFIG_INVALID };

struct ConfigLine {
    ConfigLineKind kind;
    std::string_view value;   // for CONFIG_LHS/CONFIG_RHS: the verbatim value
    sockaddr_storage server;  // for CONFIG_NAMESERVER: the address, port 53
};

// Classifies one piece of a configuration file as the line reader returns
// it (with its newline, if it had one within the limit).
ConfigLine nomicon_config_line(std::string_view piece);

// Reads settings from an open file into nomicon_lhs/nomicon_rhs and the
// name-server list (which it empties first). Returns
// false when the configuration is invalid or a copy cannot be allocated.
bool nomicon_read_config(std::FILE *file);

// Frees the private copies behind nomicon_lhs and nomicon_rhs, sets both
// to null, and empties the name-server list.
void nomicon_drop_sides();

// Joins the character-strings of TXT data into out, which has room for
// length + 1 bytes; a string running past the data keeps only the bytes the
// data holds. Returns the number of bytes written before the final NUL.
std::size_t nomicon_txt_join(const unsigned char *data, std::size_t length, char *out);

// Parses one service string in place; on a match with `proto` fills
// `entry` (aliases in the unit's static alias vector) and returns true.
bool nomicon_parse_service(char *text, const char *proto, struct servent *entry);
