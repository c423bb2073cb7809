#include "bulfetch/bulfetch.h"

#include <cstring>

std::string_view bulletin_body(const char *bulletin)
{
    std::string_view text(bulletin, std::strlen(bulletin));
    std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos)
        return {};
    return text.substr(lf + 1);
}
