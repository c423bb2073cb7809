#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#ifndef BULFETCH_NOTICE_PROGRAM
#error "BULFETCH_NOTICE_PROGRAM must name the notice program"
#endif

void view_message_by_vane(const char *bulletin)
{
    view_message_by_vane_using(bulletin, BULFETCH_NOTICE_PROGRAM);
}

// Replaces the process with the notice program, the body as one argument.
// The user name is found before the body is looked at, so a run without
// one ends with status 2 even when there is nothing to send.
void view_message_by_vane_using(const char *bulletin, const char *program)
{
    const char *user = getlogin();
    if (user == nullptr || *user == '\0') {
        const struct passwd *pw = getpwuid(getuid());
        user = pw != nullptr ? pw->pw_name : nullptr;
    }
    if (user == nullptr || *user == '\0') {
        std::fputs("bulfetch: couldn't find username to send vane notice\n", stderr);
        std::exit(2);
    }
    if (bulletin == nullptr || program == nullptr)
        return;
    std::string_view body = bulletin_body(bulletin);
    if (body.empty())
        return;
    // The body ends at the bulletin's NUL, so it is a C string as it lies.
    execl(program, "vwrite", "-d", "-q", "-n", user, "-m",
          body.data(), static_cast<char *>(nullptr));
    syslog(LOG_INFO, "BUL client execl of vwrite failed [%s]", error_message(errno));
}
