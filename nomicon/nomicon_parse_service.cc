#include <arpa/inet.h>
#include <cstdlib>
#include <netdb.h>

#include "nomicon/cistrcmp.h"
#include "nomicon/nomicon_internal.h"

namespace {

char *aliases[NOMICON_MAX_ALIASES + 1];

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// White space of the C locale, without the locale lookup of isspace.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *skip_blanks(char *p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

// Splits the rest of the string at every single white-space character:
// two in a row give an empty alias, one at the very end gives none.
// Aliases past the vector's room are dropped, left uncut in the string.
void collect_aliases(char *p)
{
    int n = 0;
    while (n < NOMICON_MAX_ALIASES) {
        aliases[n++] = p;
        while (*p != '\0' && !is_space(*p))
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
        if (*p == '\0')
            break;
    }
    aliases[n] = nullptr;
}

}  // namespace

bool nomicon_parse_service(char *text, const char *proto, struct servent *entry)
{
    char *p = skip_blanks(text);
    char *name = p;
    while (*p != '\0' && !is_blank(*p) && *p != ';')
        ++p;
    if (*p == '\0')
        return false;
    *p++ = '\0';
    p = skip_blanks(p);

    // A tab does not end the protocol field.
    char *protocol = p;
    while (*p != '\0' && *p != ' ' && *p != ';')
        ++p;
    if (*p == '\0')
        return false;
    *p++ = '\0';
    if (cistrcmp(proto, protocol) != 0)
        return false;

    if (*p == '\0')
        return false;
    while (is_blank(*p) || *p == ';')
        ++p;
    if (*p == '\0')
        return false;
    char *port = p;
    while (*p != '\0' && !is_blank(*p) && *p != ';')
        ++p;
    if (*p != '\0') {
        *p++ = '\0';
        if (*p != '\0')
            collect_aliases(p);
        else
            aliases[0] = nullptr;
    } else {
        aliases[0] = nullptr;
    }

    // Read as strtol reads it and taken as an int; only the low 16 bits
    // make the port.
    auto value = static_cast<int>(std::strtol(port, nullptr, 10));
    entry->s_name = name;
    entry->s_aliases = aliases;
    entry->s_port = htons(static_cast<std::uint16_t>(value));
    entry->s_proto = protocol;
    return true;
}
