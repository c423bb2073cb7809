// bulpublish: publishes a bulletin for bulserve, and shows the one served.
// A published bulletin file holds the whole record the server sends, with
// the stamp chosen here, so every replica it is copied to serves it under
// the same stamp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bulserve/bulserve.h"

// Exit statuses, as the manual page lists them.
inline constexpr int BULPUBLISH_EXIT_OK = 0;
inline constexpr int BULPUBLISH_EXIT_USAGE = 1;
inline constexpr int BULPUBLISH_EXIT_REFUSED = 2;   // text too long, no stamp left
inline constexpr int BULPUBLISH_EXIT_FILE = 3;      // a file could not be read or written

// Where the packaged service keeps its state.
inline constexpr const char *BULPUBLISH_DEFAULT_STATE_DIR = "/var/lib/bulserve";

struct BulpublishOptions {
    const char *file = nullptr;        // the served bulletin file
    const char *text = nullptr;        // the new text; null or "-" for standard input
    const char *state_dir = nullptr;   // -S
    bool show = false;                 // -l
    bool help = false;
    bool version = false;
};

bool bulpublish_parse_args(int argc, char *const argv[], BulpublishOptions *options,
                           char *error, std::size_t error_size);
void bulpublish_usage(const char *program, const char *error);
void bulpublish_help(const char *program);

// The server's last record from its state directory (length 0 for none):
// 0, or the errno when the state can't be read, for the warning.
int bulpublish_read_state(const char *state_dir, Bulletin *served);
void bulpublish_warn_state(const char *program, const char *state_dir, int error,
                           const char *consequence);
// The largest stamp this machine knows was served or published: the
// bulletin file's own, if published, and the server's record's. 0 when
// there is neither.
std::int64_t bulpublish_highest(const char *file, const Bulletin &served);

// Publishes and reports; returns the exit status.
int bulpublish_publish(const char *program, const BulpublishOptions &options);
// Shows the bulletin of the file: its stamp, its time and its text.
int bulpublish_show(const char *program, const BulpublishOptions &options);
