#include "bulfetch/bulfetch.h"

#include <syslog.h>

#ifndef BULFETCH_FALLBACK_FILE
#error "BULFETCH_FALLBACK_FILE must name the fallback file"
#endif

bool bulfetch_from_copy = false;

ErrorCode get_a_message(char **bulletin_out)
{
    return get_a_message_using(bulletin_out, BULFETCH_FALLBACK_FILE);
}

// The first listed server only, whatever its failure; then the fallback
// file. A server's answer refreshes the fallback file, but failing to write
// it never costs the user the bulletin.
ErrorCode get_a_message_using(char **bulletin_out, const char *fallback_path)
{
    if (bulletin_out == nullptr || fallback_path == nullptr)
        return BUL_MISSING_ARGUMENT;
    bulfetch_from_copy = false;
    char *bulletin = nullptr;
    std::int32_t length = 0;
    ErrorCode code = ask_first_server(&bulletin, &length);
    if (code != 0) {
        syslog(LOG_INFO, "BUL get server failed, %s", error_message(code));
        code = get_fallback_file(&bulletin, &length, fallback_path);
        if (code != 0) {
            syslog(LOG_INFO, "BUL put failed, %s", error_message(code));
            return code;
        }
        bulfetch_from_copy = true;
        *bulletin_out = bulletin;
        return 0;
    }
    code = put_fallback_file(bulletin, length, fallback_path);
    if (code != 0)
        syslog(LOG_INFO, "BUL put failed, %s", error_message(code));
    *bulletin_out = bulletin;
    return 0;
}
