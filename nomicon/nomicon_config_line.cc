#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

#include "nomicon/nomicon_internal.h"

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A numeric IPv4 or IPv6 address, then nothing but blanks and perhaps a
// "#" comment. A carriage return counts as a blank here, so that a file
// written with CR LF line ends still names its servers. Host names are not
// taken: looking one up would itself need a name server.
bool parse_nameserver(std::string_view value, sockaddr_storage *server)
{
    std::size_t end = value.find_first_of(" \t\r#");
    std::string_view address = value.substr(0, end);
    if (end != std::string_view::npos) {
        std::size_t rest = value.find_first_not_of(" \t\r", end);
        if (rest != std::string_view::npos && value[rest] != '#')
            return false;
    }
    // inet_pton wants a NUL-terminated string; 45 characters hold the
    // longest IPv6 text form, anything longer is no address.
    char text[INET6_ADDRSTRLEN];
    if (address.empty() || address.size() >= sizeof text)
        return false;
    std::memcpy(text, address.data(), address.size());
    text[address.size()] = '\0';
    *server = {};
    auto *v4 = reinterpret_cast<sockaddr_in *>(server);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(server);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(53);
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(53);
        return true;
    }
    return false;
}

}  // namespace

ConfigLine nomicon_config_line(std::string_view piece)
{
    // A piece ends at its newline; a piece cut by the length limit, or the
    // last line of a file, has none.
    std::size_t newline = piece.find('\n');
    bool has_newline = newline != std::string_view::npos;
    std::string_view line = has_newline ? piece.substr(0, newline) : piece;
    ConfigLine result{CONFIG_IGNORE, {}, {}};

    if (line.empty() || piece.front() == '#')
        return result;
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    std::size_t key_start = i;
    while (i < line.size() && !is_blank(line[i]) && line[i] != '=')
        ++i;
    // A key with no separator after it on its line (a line of blanks only,
    // or a lone word) sets nothing: it is passed over like an unknown key.
    if (i == line.size())
        return result;
    std::string_view key = line.substr(key_start, i - key_start);
    if (key == "lhs")
        result.kind = CONFIG_LHS;
    else if (key == "rhs")
        result.kind = CONFIG_RHS;
    else if (key == "nameserver")
        result.kind = CONFIG_NAMESERVER;
    else
        return result;
    while (i < line.size() && (is_blank(line[i]) || line[i] == '='))
        ++i;
    std::string_view value = line.substr(i);
    if (result.kind == CONFIG_NAMESERVER) {
        if (!parse_nameserver(value, &result.server))
            result.kind = CONFIG_INVALID;
        return result;
    }
    // An empty value counts only when the newline follows the separators:
    // a piece that stops right after them is as invalid as a value without
    // its leading dot.
    if (value.empty() ? !has_newline : value.front() != '.')
        result.kind = CONFIG_INVALID;
    else
        result.value = value;
    return result;
}
