#include "nomicon/nomicon_internal.h"

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

ConfigLine nomicon_config_line(std::string_view piece)
{
    // A piece ends at its newline; a piece cut by the length limit, or the
    // last line of a file, has none.
    std::size_t newline = piece.find('\n');
    bool has_newline = newline != std::string_view::npos;
    std::string_view line = has_newline ? piece.substr(0, newline) : piece;

    if (line.empty() || piece.front() == '#')
        return {CONFIG_IGNORE, {}};
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    std::size_t key_start = i;
    while (i < line.size() && !is_blank(line[i]) && line[i] != '=')
        ++i;
    // A key with no separator after it on its line (a line of blanks only,
    // or a lone word) sets nothing: it is passed over like an unknown key.
    if (i == line.size())
        return {CONFIG_IGNORE, {}};
    std::string_view key = line.substr(key_start, i - key_start);
    ConfigLineKind kind;
    if (key == "lhs")
        kind = CONFIG_LHS;
    else if (key == "rhs")
        kind = CONFIG_RHS;
    else
        return {CONFIG_IGNORE, {}};
    while (i < line.size() && (is_blank(line[i]) || line[i] == '='))
        ++i;
    std::string_view value = line.substr(i);
    // An empty value counts only when the newline follows the separators:
    // a piece that stops right after them is as invalid as a value without
    // its leading dot.
    if (value.empty() ? !has_newline : value.front() != '.')
        return {CONFIG_INVALID, {}};
    return {kind, value};
}
