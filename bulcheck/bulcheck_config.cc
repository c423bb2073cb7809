#include "bulcheck/bulcheck.h"
#include "nomicon/nomicon.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *side(const char *value)
{
    return value == nullptr ? "none" : bulcheck_shown(value);
}

// Copies a built name out of the name service's buffer, which the next
// build overwrites.
bool build(const char *type, char *out, std::size_t size)
{
    const char *name = nomicon_to_bind("bulletin", type);
    if (name == nullptr || std::strlen(name) >= size)
        return false;
    std::strcpy(out, name);
    return true;
}

}  // namespace

int bulcheck_config(BulcheckState &state)
{
    bulcheck_say("\nConfiguration");
    const char *path = nomicon_config_file;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int open_error = fd < 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    const char *domain = std::getenv("NOM_DOMAIN");

    if (nomicon_init() != 0) {
        bulcheck_say("  %s: read, but not usable", bulcheck_shown(path));
        bulcheck_say("  BREAK: an lhs or rhs value does not begin with a dot, a nameserver value");
        bulcheck_say("         is not a numeric address, or no rhs is set%s.",
                     domain == nullptr ? " (and NOM_DOMAIN is not set)" : "");
        bulcheck_say("  FIX: give \"rhs .DOMAIN\" (the site's name-service domain, with its leading");
        bulcheck_say("       dot), \"lhs .ns\" if the zone uses it, and \"nameserver ADDRESS\"");
        bulcheck_say("       lines with numeric addresses; see nomicon.conf(5).");
        return BULCHECK_CONFIG;
    }
    if (open_error != 0)
        bulcheck_say("  %s: not read (%s); the built-in settings apply", bulcheck_shown(path),
                     std::strerror(open_error));
    else
        bulcheck_say("  %s: read", bulcheck_shown(path));
    bulcheck_say("  lhs: %s   rhs: %s%s", side(nomicon_lhs), side(nomicon_rhs),
                 domain != nullptr ? "   (rhs from NOM_DOMAIN, which is set)" : "");

    if (!build("sloc", state.sloc_name, sizeof state.sloc_name) ||
        !build("service", state.service_name, sizeof state.service_name)) {
        bulcheck_say("  BREAK: the names built are longer than a domain name can be.");
        bulcheck_say("  FIX: shorten lhs and rhs; see nomicon.conf(5).");
        return BULCHECK_CONFIG;
    }
    bulcheck_say("  server list name: %s", bulcheck_shown(state.sloc_name));
    bulcheck_say("  service name:     %s", bulcheck_shown(state.service_name));
    return BULCHECK_OK;
}
