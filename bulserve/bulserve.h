// bulserve: the site's reference bulletin server. It answers each UDP
// request of exactly the bulletin magic with one datagram holding the
// bulletin record: the magic, a blank, the stamp, an LF and the body.
//
// Stamps only go up. A published bulletin file holds the whole record, so
// its stamp travels with it and every replica serves the same one. A plain
// text file is stamped by the server, which remembers the last record it
// served in its state directory, so a change of text always gets a larger
// stamp whatever the file times, the clock and restarts do.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include "bulfetch/bulletin.h"
#include "bulserve/rate_limit.h"

// Exit statuses, as the manual page lists them.
inline constexpr int BULSERVE_EXIT_OK = 0;
inline constexpr int BULSERVE_EXIT_USAGE = 1;
inline constexpr int BULSERVE_EXIT_BULLETIN = 2;  // bulletin file or state refused
inline constexpr int BULSERVE_EXIT_NETWORK = 3;   // no port, or no socket

// Clients compare stamps as signed 32-bit numbers: a larger stamp would be
// read clamped and nothing after it would ever look newer.
inline constexpr std::int64_t BULSERVE_MAX_STAMP = 2147483647;
// The clock (or a file time) is taken as a stamp only up to here: a clock
// set near the end of the stamps, for one change, would leave no stamp for
// the changes after it. The last 366 days of stamps are kept for counting
// up by one, some 31 million changes, whatever the clock ever said.
inline constexpr std::int64_t BULSERVE_CLOCK_LIMIT = BULSERVE_MAX_STAMP - 366LL * 86400;

// The state file in the state directory: the last record served.
inline constexpr const char *BULSERVE_STATE_NAME = "served";

struct BulserveOptions {
    const char *file = nullptr;
    const char *state_dir = nullptr;   // -S, else $STATE_DIRECTORY
    std::uint32_t address = 0;         // IPv4, network byte order
    bool have_port = false;
    std::uint16_t port = 0;            // host byte order; 0 lets the system choose
    bool have_stamp = false;
    std::int64_t stamp = 0;
    bool log_stderr = false;
    bool help = false;
    bool version = false;
    RateLimitConfig rate;              // -r, -b, -m
};

// The record served, or the record a file would be served as.
struct Bulletin {
    char record[BULLETIN_MAX_REPLY];
    std::size_t length = 0;            // 0: none
    std::int64_t stamp = 0;
    std::size_t file_size = 0;         // the bytes of the file it came from
    bool published = false;            // the file held the whole record
};

// What a published bulletin file holds, or why it isn't one.
enum class RecordForm { plain, published, malformed };

// A file beginning with the magic is a published record: "BUL:0", one
// blank, a stamp from 0 to 2147483647 in plain decimal, an LF, the body.
// A file that begins with the magic but not so is malformed; any other
// file is plain text. *stamp and *body_offset are set for published.
RecordForm bulserve_record_form(std::span<const char> content, std::int64_t *stamp,
                                std::size_t *body_offset);

// Builds the record for a stamp and a body; false when it would not fit a
// client's reply (the bulletin is then left alone).
bool bulserve_build_record(Bulletin *bulletin, std::int64_t stamp, std::span<const char> body);
std::size_t bulserve_body_limit(std::int64_t stamp);

// The stamp for a changed text: the clock when it is above every stamp
// served before and not beyond BULSERVE_CLOCK_LIMIT, else one more than the
// highest; false when the highest is already the largest.
bool bulserve_next_stamp(std::int64_t highest, std::int64_t now, std::int64_t *stamp);

enum class LoadStatus {
    ok, system_error, not_regular, too_big, being_written, changing,
    malformed, stale, no_stamp_left, state_error
};

struct LoadResult {
    LoadStatus status = LoadStatus::ok;
    int error = 0;              // errno, for system_error and state_error
    std::int64_t size = 0;      // file size, for too_big
    std::size_t limit = 0;      // largest body that fits, for too_big
    std::int64_t stamp = 0;     // the file's stamp, for stale
    bool changed = false;       // ok: the served record changed
};

// The file as read, for deciding what to serve.
struct FileContent {
    char bytes[BULLETIN_MAX_REPLY + 1];
    std::size_t length = 0;      // at most one byte beyond any record
    std::int64_t file_size = 0;
    timespec mtime{};
    bool leased = false;         // read under a read lease: no writer held it
};

// Reads the whole file, unless something holds it open for writing: a
// read lease can be had only on a file no one has open for writing, and a
// writer that opens it while it is read waits until the read is done.
// Where no lease can be had, `writing` (a write seen and no close after
// it) stands in.
LoadResult bulserve_read_file(const char *path, bool writing, FileContent *content);

// Decides what the content is served as, given what is served now and the
// highest stamp served before: unchanged, a new record, or refused.
LoadResult bulserve_take(const FileContent &content, const BulserveOptions &options,
                         const Bulletin &current, std::int64_t highest, std::int64_t now,
                         Bulletin *fresh);

// The state file: the last record served. A missing file is no record;
// a damaged one is an error, since what clients remember depends on it.
LoadResult bulserve_state_load(const char *dir, Bulletin *served);
// Written whole under another name and renamed over, synced before the
// record is served. Returns 0 or the errno.
int bulserve_state_save(const char *dir, const Bulletin &served);

// Why a file is not served, as one clause ("not a regular file"); `highest`
// and `state_dir` fill in the stale and state cases.
void bulserve_load_failure_text(const LoadResult &result, std::int64_t highest,
                                const char *state_dir, char *text, std::size_t size);

// Writes data to fd, a new file open at the name temporary, syncs and
// closes it, and renames it to path, so that a reader sees the old file or
// the new one, never a part. On failure the temporary is removed. Returns
// 0 or the error number.
int bulserve_commit_file(int fd, const char *temporary, const char *path,
                         std::span<const char> data);

// A folder watched on the way to the file, and the name in it that leads
// on: a folder replaced, moved or flipped by a symbolic link anywhere on
// the way changes the file served as much as an edit does.
struct PathWatch {
    int wd = -1;
    bool file_folder = false;          // the file's own name, after every link
    char name[256];                    // NAME_MAX + 1
};
// Deeper paths are watched down to this many steps (the path as given, and
// the one it resolves to).
inline constexpr int BULSERVE_MAX_PATH_WATCHES = 64;

// What became of the datagrams received, since the start or within one
// summary interval.
struct ServeCounts {
    std::uint64_t answered = 0;
    std::uint64_t ignored = 0;   // not a request, or nothing to serve yet
    std::uint64_t refused = 0;   // no answer can go there: source port 0, or no unicast source
    std::uint64_t full = 0;      // answers dropped because the send buffer was full
    std::uint64_t failed = 0;    // answers whose send failed otherwise
    int last_error = 0;          // the errno of the last of those
};

// What the serving loop keeps between requests.
struct ServeState {
    Bulletin current;                  // length 0 until a file is taken
    const char *state_dir = nullptr;
    std::int64_t highest = 0;          // largest stamp ever served
    int inotify_fd = -1;
    const char *path = nullptr;        // the file as given
    PathWatch steps[BULSERVE_MAX_PATH_WATCHES];
    int step_count = 0;
    int dir_watch = -1;                // the file's folder, for renames
    int file_watch = -1;               // the file itself, for writes in place
    const char *name = nullptr;        // the file's name within its folder
    bool writing = false;              // a write seen, its close not yet
    bool created = false;              // the name made anew, no close seen yet
    bool want_load = false;            // a change noticed, not yet taken
    bool rewatch = false;              // a folder on the way changed
    std::int64_t retry_at_ms = 0;      // monotonic time of a look without an event; 0 none
    std::int64_t retry_delay_ms = 0;
    LoadStatus last_failure = LoadStatus::ok;  // logged once per cause
    int last_error = 0;
    ServeCounts total;                 // since the start
    ServeCounts recent;                // since the last summary line
};

// Returns false on a refused command line, with the reason in `error`
// (one line: what is wrong and what is allowed, without the program's
// name).
bool bulserve_parse_args(int argc, char *const argv[], BulserveOptions *options, char *error,
                         std::size_t error_size);
void bulserve_usage(const char *program, const char *error);
void bulserve_help(const char *program);
// The name a program was started by, without its folder.
const char *bulserve_program_name(const char *argv0, const char *fallback);

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no socket or file opened later becomes standard output or error.
bool bulserve_std_fds();

// Starts watching the folders on the way to the file and the file; false
// with errno set when they exist and can't be watched.
bool bulserve_watch(const char *path, ServeState *state);
// Watches the folders on the way as they are now, and drops the watches of
// those no longer on it; 0 or the errno of the file's own folder, which
// may be missing (ENOENT, ENOTDIR) until it is put in place.
int bulserve_rewatch(ServeState *state);
// Reads pending change events, one buffer's worth: state->want_load when
// the file may have changed, state->writing between a write and its
// close. True when the buffer was full and more may be waiting.
bool bulserve_watch_events(ServeState *state);
inline constexpr std::uint32_t BULSERVE_FILE_EVENTS = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB;

// Why the file is read: at start (the start line reports it), on a change
// seen (a line when the bulletin changed or a new failure; a missing file
// and a writer at work are the course of a replacement and say nothing),
// on a look again after a failure that brings no event (as a change, but a
// missing file is told), or on SIGHUP (one line whatever the outcome).
enum class RefreshCause { start, change, retry, hangup };
// A file missing after a change is looked at again after this long, and
// logged only then: a replacement by removal and creation (install, tar,
// a folder moved away and another moved in) is served with one line.
inline constexpr std::int64_t BULSERVE_MISSING_GRACE_MS = 10000;
// A failure no event ends (a full state file system, a file that kept
// changing) is tried again after 1 s, doubling up to once a minute.
inline constexpr std::int64_t BULSERVE_RETRY_MAX_MS = 60000;
std::int64_t bulserve_monotonic_ms();

// Tries to take the file: reads it, decides its stamp, records the state
// and logs. A version that can't be served leaves the current bulletin in
// place.
LoadResult bulserve_refresh(const BulserveOptions &options, ServeState *state,
                            RefreshCause cause);
// One line for a failed read or refusal; `what` begins it ("cannot serve",
// "cannot reload").
void bulserve_log_load_failure(const char *path, const LoadResult &result, const char *what,
                               const ServeState &state);

bool bulserve_is_request(std::span<const char> datagram);

// The port from the options or the services database; false when neither
// has one.
bool bulserve_find_port(const BulserveOptions &options, std::uint16_t *port);
// A bound UDP socket, or -1 with errno set. *bound_port receives the port
// actually bound (the one the system chose for port 0). Each datagram
// received carries the local address it was sent to and the interface it
// came in on (IP_PKTINFO), for the answer to leave from that address.
// *lanes tells whether lanes can share the port.
int bulserve_open_socket(std::uint32_t address, std::uint16_t port, std::uint16_t *bound_port,
                         bool *lanes);
// A lane: a socket on the same address and port that only sends, with a
// send buffer of its own, or -1 with errno set. Answers are sent on the
// lane of the interface their request came in on, the way their answers
// leave on most networks: answers queued for a slow interface fill only
// its lane's buffer, and answers on every other interface go out.
int bulserve_open_lane(int socket_fd);

// The lanes opened, one per interface requests come in on, up to eight.
inline constexpr int BULSERVE_MAX_LANES = 8;
struct BulserveLanes {
    int fd[BULSERVE_MAX_LANES];
    int ifindex[BULSERVE_MAX_LANES];
    std::int64_t used_ms[BULSERVE_MAX_LANES];  // its last answer, monotonic
    int count = 0;
    bool possible = false;   // lanes can share the port, and one could be opened
};
// The socket to send an answer on, at now_ms, for a request that came in on
// the interface `ifindex` (0: unknown): its lane, opened on first use; or,
// when all are taken, the lane idle longest if it has been idle for
// BULSERVE_LANE_IDLE_MS, else socket_fd.
inline constexpr std::int64_t BULSERVE_LANE_IDLE_MS = 10000;
int bulserve_lane(BulserveLanes *lanes, int socket_fd, int ifindex, std::int64_t now_ms);

// Tells the service manager, through $NOTIFY_SOCKET, how the server is
// ("READY=1", "RELOADING=1", "STOPPING=1"); nothing without it.
void bulserve_notify(const char *text);

// Signals, as counts of each kind received so far.
struct SignalCounts {
    int ends = 0;          // SIGTERM, SIGINT
    int end_signal = 0;    // the last of them
    int hangups = 0;       // SIGHUP
    int changes = 0;       // SIGIO: change events are waiting
};

// Installs the handlers and has the change notification raise SIGIO, so
// that the server can wait for requests in the receive itself, with no
// other system call per request; false with errno set.
bool bulserve_signals_start(int inotify_fd);
SignalCounts bulserve_signals_pending();
// The handlers send an empty datagram on this connected socket, to the
// server's own, so that a signal always ends the wait for requests.
void bulserve_signals_wake_by(int fd);

// Serves until SIGTERM or SIGINT; SIGHUP re-reads the file, and so does a
// change the watch reports. Every answer passes the rate limit first.
// Returns the exit status.
int bulserve_serve(const BulserveOptions &options, int socket_fd, bool lanes,
                   ServeState *state, RateLimit *limit);

void bulserve_log_init(bool to_stderr);
void bulserve_log(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
