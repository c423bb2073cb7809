// bulserve: the site's reference bulletin server. It answers each UDP
// request of exactly the bulletin magic with one datagram holding the
// bulletin record: the magic, a blank, the stamp, an LF and the body.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "bulfetch/bulletin.h"

// Exit statuses, as the manual page lists them.
inline constexpr int BULSERVE_EXIT_OK = 0;
inline constexpr int BULSERVE_EXIT_USAGE = 1;
inline constexpr int BULSERVE_EXIT_BULLETIN = 2;  // bulletin file refused
inline constexpr int BULSERVE_EXIT_NETWORK = 3;   // no port, or no socket

// "BUL:0", a blank, at most 20 characters of a signed 64-bit stamp, an LF.
inline constexpr std::size_t BULSERVE_MAX_HEADER = 5 + 1 + 20 + 1;

struct BulserveOptions {
    const char *file = nullptr;
    std::uint32_t address = 0;     // IPv4, network byte order
    bool have_port = false;
    std::uint16_t port = 0;        // host byte order; 0 lets the system choose
    bool have_stamp = false;
    std::int64_t stamp = 0;
    bool log_stderr = false;
    // A file rewritten in place (same inode) is taken only once it has
    // stayed unchanged this long: between the truncation and the last
    // write it is empty or half-written, and serving that moment would
    // hand clients a bulletin they record as seen, under the same stamp as
    // the finished one. A file replaced by rename is complete at once.
    long settle_ms = 200;
};

// What tells one version of the bulletin file from another. The change
// time moves on every write, so a rewrite within the same second and of
// the same size is still seen.
struct BulletinFileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
};

struct Bulletin {
    char record[BULLETIN_MAX_REPLY];
    std::size_t length = 0;
    std::int64_t stamp = 0;
    BulletinFileId id;
};

enum class LoadStatus { ok, system_error, not_regular, too_big, changing };

struct LoadResult {
    LoadStatus status = LoadStatus::ok;
    int error = 0;           // errno, for system_error
    std::int64_t size = 0;   // file size, for too_big
    std::size_t limit = 0;   // largest body that fits, for too_big
};

// What the serving loop keeps between requests.
struct ServeState {
    Bulletin current;
    // The served version's file, held open so that its inode number can't
    // be handed to another file: the same inode then really means the
    // same file, rewritten in place.
    int pinned_fd = -1;
    bool have_failed = false;       // the last reload attempt failed...
    BulletinFileId failed_id;       // ...on this version of the file
    int failed_error = 0;           // ...or stat failed with this error
    std::uint64_t answered = 0;
    std::uint64_t ignored = 0;
    std::uint64_t send_failures = 0;
};

// Returns false on a refused command line, with the offending text.
bool bulserve_parse_args(int argc, char *const argv[], BulserveOptions *options,
                         const char **offending);
void bulserve_usage(const char *program, const char *offending);

// Builds the record for a stamp and a body into bulletin->record; false
// when it would not fit a client's reply.
bool bulserve_build_record(Bulletin *bulletin, std::int64_t stamp,
                           std::span<const char> body);
std::size_t bulserve_body_limit(std::int64_t stamp);

BulletinFileId bulserve_file_id(const struct stat &st);
bool bulserve_same_file(const BulletinFileId &a, const BulletinFileId &b);

// Reads the bulletin file whole and builds its record. The stamp is the
// file's modification time unless the options fix one. With pin_fd, a
// successful load hands out the open descriptor instead of closing it.
LoadResult bulserve_load(const char *path, const BulserveOptions &options,
                         Bulletin *bulletin, int *pin_fd = nullptr);
void bulserve_log_load_failure(const char *path, const LoadResult &result,
                               const char *what);

// Looks at the file and re-reads it when it has changed; a version that
// can't be served leaves the current bulletin in place. `force` re-reads
// even an unchanged file.
void bulserve_refresh(const BulserveOptions &options, ServeState *state, bool force);

bool bulserve_is_request(std::span<const char> datagram);

// The port from the options or the services database; false when neither
// has one.
bool bulserve_find_port(const BulserveOptions &options, std::uint16_t *port);
// A bound UDP socket, or -1 with errno set. *bound_port receives the port
// actually bound (the one the system chose for port 0).
int bulserve_open_socket(std::uint32_t address, std::uint16_t port,
                         std::uint16_t *bound_port);

// Serves until SIGTERM or SIGINT arrives on signal_fd; SIGHUP re-reads
// the file. Returns the exit status.
int bulserve_serve(const BulserveOptions &options, int socket_fd, int signal_fd,
                   ServeState *state);

void bulserve_log_init(bool to_stderr);
void bulserve_log(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
