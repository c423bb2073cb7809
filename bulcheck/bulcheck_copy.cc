#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cstdio>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef BULFETCH_FALLBACK_FILE
#error "BULFETCH_FALLBACK_FILE must name the fallback file"
#endif

namespace {

const char *age(long long seconds)
{
    static char out[48];
    if (seconds < 0)
        return "in the future";
    if (seconds < 120)
        std::snprintf(out, sizeof out, "%lld s ago", seconds);
    else if (seconds < 2 * 3600)
        std::snprintf(out, sizeof out, "%lld min ago", seconds / 60);
    else if (seconds < 2 * 86400)
        std::snprintf(out, sizeof out, "%lld h ago", seconds / 3600);
    else
        std::snprintf(out, sizeof out, "%lld days ago", seconds / 86400);
    return out;
}

const char *owner(uid_t uid)
{
    static char out[32];
    if (const passwd *pw = getpwuid(uid))
        return bulcheck_shown(pw->pw_name);
    std::snprintf(out, sizeof out, "uid %u", static_cast<unsigned>(uid));
    return out;
}

// The folder: where the package's /usr/tmp link belongs, say how to make it.
int check_folder(std::string_view folder)
{
    char dir[PATH_MAX];
    std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(folder.size()), folder.data());
    struct stat st;
    char target[PATH_MAX];
    ssize_t link = readlink(dir, target, sizeof target - 1);
    if (link >= 0) {
        target[link] = '\0';
        if (stat(dir, &st) == 0)
            bulcheck_say("  %s: a link to %s (a folder of mode %04o)", bulcheck_shown(dir),
                         bulcheck_shown(target), static_cast<unsigned>(st.st_mode & 07777));
        else
            bulcheck_say("  %s: a link to %s, which leads nowhere (%s)", bulcheck_shown(dir),
                         bulcheck_shown(target), std::strerror(errno));
    } else if (stat(dir, &st) == 0) {
        bulcheck_say("  %s: a folder of mode %04o", bulcheck_shown(dir),
                     static_cast<unsigned>(st.st_mode & 07777));
    } else {
        bulcheck_say("  %s: %s", bulcheck_shown(dir), std::strerror(errno));
    }
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        return BULCHECK_OK;
    bulcheck_say("  BREAK: no copy can be kept, so a login shows nothing when the server");
    bulcheck_say("         side fails.");
    if (folder == "/usr/tmp") {
        bulcheck_say("  FIX: Debian has no /usr/tmp; the bulfetch package makes it a link to");
        bulcheck_say("       ../var/tmp. As root: systemd-tmpfiles --create bulfetch.conf");
        bulcheck_say("       (or: ln -s ../var/tmp /usr/tmp).");
    } else {
        bulcheck_say("  FIX: as root, create %s with mode 1777.", bulcheck_shown(dir));
    }
    return BULCHECK_COPY;
}

}  // namespace

int bulcheck_copy(BulcheckState &state)
{
    bulcheck_say("\nMachine-wide copy");
    std::string_view path = BULFETCH_FALLBACK_FILE;
    std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos && slash > 0 &&
        check_folder(path.substr(0, slash)) != BULCHECK_OK)
        return BULCHECK_COPY;

    const char *shown = bulcheck_shown(path);
    struct stat st;
    if (lstat(BULFETCH_FALLBACK_FILE, &st) != 0) {
        int missing = errno;
        // Made by the first run that reaches the server, if that run may
        // create files in the folder.
        std::string folder =
            slash != std::string_view::npos && slash > 0 ? std::string(path.substr(0, slash)) : "/";
        if (missing == ENOENT && access(folder.c_str(), W_OK | X_OK) == 0) {
            bulcheck_say("  %s: none yet (%s); a run that reaches the server makes it", shown,
                         std::strerror(missing));
            return BULCHECK_OK;
        }
        if (missing == ENOENT)
            bulcheck_say("  %s: none, and your runs cannot make it (%s)", shown, std::strerror(errno));
        else
            bulcheck_say("  %s: %s", shown, std::strerror(missing));
        bulcheck_say("  BREAK: the bulletins your runs receive are not kept for this machine.");
        bulcheck_say("  FIX: as root, chmod 1777 %s.", bulcheck_shown(folder));
        return BULCHECK_COPY;
    }
    if (!S_ISREG(st.st_mode)) {
        bulcheck_say("  %s: %s", shown, S_ISLNK(st.st_mode) ? "a symbolic link" : "not a plain file");
        bulcheck_say("  BREAK: bulfetch neither reads nor writes the copy through it.");
        bulcheck_say("  FIX: as root, remove it; the next run that reaches the server makes the file.");
        return BULCHECK_COPY;
    }
    ErrorCode code = get_fallback_file(&state.copy, &state.copy_length, BULFETCH_FALLBACK_FILE);
    char stamp[96] = "unreadable";
    if (code != 0)
        std::snprintf(stamp, sizeof stamp, "unreadable (%s)", error_message(code));
    else if (bulletin_check(std::string_view(state.copy, static_cast<std::size_t>(state.copy_length))) != 0)
        std::snprintf(stamp, sizeof stamp, "none: it holds no bulletin");
    else
        std::snprintf(stamp, sizeof stamp, "%d",
                      bulletin_stamp(std::string_view(state.copy, static_cast<std::size_t>(state.copy_length))));
    bulcheck_say("  %s: owner %s, mode %04o, %lld bytes, stamp %s", shown, owner(st.st_uid),
                 static_cast<unsigned>(st.st_mode & 07777), static_cast<long long>(st.st_size),
                 stamp);
    bulcheck_say("  modified %s (%s)", bulcheck_when(st.st_mtime),
                 age(static_cast<long long>(time(nullptr)) - st.st_mtime));
    if (access(BULFETCH_FALLBACK_FILE, W_OK) != 0) {
        bulcheck_say("  BREAK: you cannot rewrite it (%s), so the bulletins your runs receive",
                     std::strerror(errno));
        bulcheck_say("         are not kept for this machine.");
        bulcheck_say("  FIX: as root, chmod 0666 %s (bulfetch makes it so).", shown);
        return BULCHECK_COPY;
    }
    return BULCHECK_OK;
}
