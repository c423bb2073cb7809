#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

ErrorCode bulletin_check(std::string_view text)
{
    if (std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);
    if (!text.starts_with(BULLETIN_MAGIC))
        return BUL_NOT_BULLETIN;
    if (text.find('\n') == std::string_view::npos)
        return BUL_NO_NEWLINE;
    return 0;
}
