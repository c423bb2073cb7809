// The units of the bulletin client. Every fallible function returns an
// ErrorCode (0 success) and hands its outputs out through pointers; a
// buffer handed out belongs to the caller.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/types.h>

#include "errors/errors.h"

struct sockaddr_in;

// A file read into memory larger than this is refused with EFBIG: the
// fallback file is writable by every user, and a bulletin is at most one
// datagram long, so nothing legitimate comes near it.
inline constexpr std::int32_t BULFETCH_MAX_FILE = 1 << 20;

// Seconds the client waits for the server's one reply.
inline constexpr long BULFETCH_REPLY_WAIT = 5;

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed; the
// entry calls it before it opens anything else.
ErrorCode standard_descriptors();

// The bulletin, from the first listed server or else the fallback file.
ErrorCode get_a_message(char **bulletin_out);
ErrorCode get_a_message_using(char **bulletin_out, const char *fallback_path);
// Whether the bulletin last handed out came from the machine's shared copy
// rather than from a server. Set by whoever hands out a bulletin read from
// the copy; check_viewable records such a bulletin only when its stamp is
// no further ahead of the clock than BULFETCH_COPY_STAMP_SLACK seconds.
extern bool bulfetch_from_copy;
inline constexpr long BULFETCH_COPY_STAMP_SLACK = 24 * 60 * 60;

// Private copies of the server host names, ended by a null entry.
ErrorCode get_servername(char ***servers_out);

ErrorCode bulfetch_from_server(char **bulletin_out, std::int32_t *length_out,
                               const char *server_name);
// "BUL:0" to `to` over the unconnected UDP socket sock, then one reply of
// at most BULLETIN_MAX_REPLY bytes within wait_ms, NUL-terminated and the
// caller's. The socket stays the caller's to close.
ErrorCode bulletin_exchange(int sock, const struct sockaddr_in &to, int wait_ms,
                            char **reply_out, std::int32_t *length_out);
// The first listed server only, whatever its failure: the name-service
// lookup, then the exchange with that server.
ErrorCode ask_first_server(char **bulletin_out, std::int32_t *length_out);
// The service entry the name service gave for the port, when it did.
extern struct servent *bulfetch_service_entry;

ErrorCode get_fallback_file(char **bulletin_out, std::int32_t *length_out,
                            const char *path);
ErrorCode put_fallback_file(const char *bulletin, std::int32_t length,
                            const char *path);

// Takes flock operation (LOCK_SH or LOCK_EX) on fd, waiting at most about
// half a second; EWOULDBLOCK when it stays taken. The callers go on without
// the lock then.
ErrorCode fallback_lock(int fd, int operation);

// Replaces the whole content of the regular file open for writing at fd
// with the length bytes of a record, first byte last, so that a reader or
// an interruption never finds a cut record, only the whole one or a file
// the record checks refuse; a failed write leaves the file empty.
ErrorCode put_record(int fd, const char *data, std::int32_t length);

// Reads fd to its end into a buffer of exactly length + 1 bytes, the last
// a NUL; fd stays open.
ErrorCode read_to_memory(char **buffer_out, std::int32_t *length_out, int fd);
// The same for at most limit bytes, the rest of the file left unread.
ErrorCode read_head(char **buffer_out, std::int32_t *length_out, int fd,
                    std::int32_t limit);
// The head of a seen-stamp file, read without waiting and only from a
// regular file; its status in *st. The buffer is the caller's.
ErrorCode read_seen_file(const char *path, char **content_out, std::int32_t *length_out,
                         struct stat *st);

// 0: the bulletin is to be shown.
ErrorCode check_viewable(const char *bulletin, bool only_new, bool record_seen);
// The same decision against the seen-stamp file under home_dir; a null
// home_dir shows the bulletin and records nothing.
ErrorCode check_viewable_at(const char *bulletin, bool only_new,
                            bool record_seen, const char *home_dir);

// The record checks: 0, bul+11 without the magic, bul+12 without an LF.
// text ends at its first NUL or its end.
ErrorCode bulletin_check(std::string_view text);
// Whether the seen-stamp content records a stamp at or above stamp.
bool seen_record_covers(std::string_view content, std::int32_t stamp);

// The body shown: after the first LF, up to the first NUL.
std::string_view bulletin_body(const char *bulletin);

// Copies body into out (room for 4 bytes per input byte at least), with the
// control characters that a terminal would act on written visibly:
//   C0 but LF, TAB and a CR right before an LF: ^@ .. ^_      DEL: ^?
//   a byte 0x80..0x9F standing alone:  \x80 .. \x9f
//   U+0080..U+009F in UTF-8 (C2 80..C2 9F, when utf8): \u0080 .. \u009f
// With utf8 set, a well-formed UTF-8 sequence otherwise passes unchanged
// (its continuation bytes are not C1 to a UTF-8 terminal); without it,
// every byte 0x80..0x9F is escaped. Returns the bytes written.
inline constexpr std::size_t TERMINAL_ESCAPE_GROWTH = 4;
std::size_t terminal_escape(std::string_view body, char *out, bool utf8);

// write(2), with SIGPIPE and SIGXFSZ failing it instead of ending the run.
ssize_t quiet_write(int fd, const void *data, std::size_t size);

void view_message_by_tty(const char *bulletin);
void view_message_by_vane(const char *bulletin);
void view_message_by_vane_using(const char *bulletin, const char *program);

// -quick: the server side runs in a detached process (its own session, no
// terminal, its descriptors on /dev/null) that hands its result over a pipe
// and then refreshes the fallback file, however late the server answers.
// The caller waits at most wait_ms from the call, or until SIGINT or
// SIGQUIT, and meanwhile reads the fallback file, which stands in when the
// live bulletin is not in hand by then. BUL_INTERRUPTED after an interrupt:
// nothing is to be shown. log_ident is the identity the log was opened with.
inline constexpr long BULFETCH_QUICK_WAIT_MS = 600;
ErrorCode get_a_message_quick(char **bulletin_out, const char *log_ident);
ErrorCode get_a_message_quick_using(char **bulletin_out, const char *log_ident,
                                    const char *fallback_path, long wait_ms);

// Run in the child of -quick: starts the fetch in a process of its own
// session, holding no descriptor of the caller's but fd, and exits. The
// fetch asks the server side, writes to fd, then refreshes the fallback
// file. What fd receives, in host order: the fetch's process id (minus an
// error number when it could not be started), then from the fetch the
// ErrorCode of the server side and on 0 the reply's bytes; then its end.
[[noreturn]] void quick_fetch_child(int fd, const char *log_ident,
                                    const char *fallback_path);

// Reads the child's hand-off from fd into buffer until its end, waiting
// until the CLOCK_MONOTONIC deadline at most, with wait_mask as the signal
// mask meanwhile. 0 with the bytes in *length (EFBIG when more than
// capacity came); BUL_SERVER_TIMEOUT at the deadline; BUL_INTERRUPTED when
// a signal handler ran.
ErrorCode quick_wait(int fd, char *buffer, std::size_t capacity,
                     std::size_t *length, const struct timespec &deadline,
                     const sigset_t *wait_mask);
