#include <arpa/inet.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bulserve/bulserve.h"

namespace {

// Start-up failures go to the terminal as well as to the log: the operator
// starting the server is looking there.
void to_terminal_too(const BulserveOptions &options)
{
    if (!options.log_stderr)
        bulserve_log_init(true);
}

// The state directory: -S, else the first of the folders the service
// manager names in $STATE_DIRECTORY.
const char *state_dir(const BulserveOptions &options, char *buffer, std::size_t size)
{
    if (options.state_dir != nullptr)
        return options.state_dir;
    const char *env = std::getenv("STATE_DIRECTORY");
    if (env == nullptr || env[0] == '\0')
        return nullptr;
    std::size_t n = std::strcspn(env, ":");
    if (n == 0 || n >= size)
        return nullptr;
    std::memcpy(buffer, env, n);
    buffer[n] = '\0';
    return buffer;
}

// The table is large and needs no work to start: static storage.
RateLimit rate_limit;

}  // namespace

int main(int argc, char *argv[])
{
    // Before anything is opened: a socket must never become standard
    // output or error because the server was started with them closed.
    if (!bulserve_std_fds())
        return BULSERVE_EXIT_NETWORK;
    const char *program = bulserve_program_name(argc > 0 ? argv[0] : nullptr, "bulserve");
    BulserveOptions options;
    char error[256];
    if (!bulserve_parse_args(argc, argv, &options, error, sizeof error)) {
        bulserve_usage(program, error);
        return BULSERVE_EXIT_USAGE;
    }
    if (options.help) {
        bulserve_help(program);
        return BULSERVE_EXIT_OK;
    }
    if (options.version) {
        std::printf("%s (calyx tools) %s\n", program, CALYX_VERSION);
        return BULSERVE_EXIT_OK;
    }
    bulserve_log_init(options.log_stderr);
    // A read lease on the bulletin file is broken by a writer's open with
    // SIGIO, whose default would end the server; until the serving loop
    // takes it as a sign of change, it is ignored.
    std::signal(SIGIO, SIG_IGN);

    ServeState state;
    char dir_buffer[4096];
    state.state_dir = state_dir(options, dir_buffer, sizeof dir_buffer);
    if (state.state_dir != nullptr && !options.have_stamp) {
        LoadResult r = bulserve_state_load(state.state_dir, &state.current);
        if (r.status != LoadStatus::ok) {
            to_terminal_too(options);
            bulserve_log(LOG_ERR,
                         "cannot read the last stamp served from %s/%s: %s; clients remember "
                         "that stamp, so repair the file or give it the record last served",
                         state.state_dir, BULSERVE_STATE_NAME, std::strerror(r.error));
            return BULSERVE_EXIT_BULLETIN;
        }
        state.highest = state.current.stamp;
    }
    if (!bulserve_watch(options.file, &state)) {
        to_terminal_too(options);
        bulserve_log(LOG_ERR, "cannot watch %s for changes: %s", options.file,
                     std::strerror(errno));
        return BULSERVE_EXIT_BULLETIN;
    }
    // The state's record is served until the file is taken, and on, when
    // the file can't be: a restart must not take the service down for a
    // file that a running server would refuse and serve on without.
    LoadResult loaded = bulserve_refresh(options, &state, RefreshCause::start);
    if (loaded.status != LoadStatus::ok && loaded.status != LoadStatus::being_written &&
        state.current.length == 0) {
        to_terminal_too(options);
        bulserve_log_load_failure(options.file, loaded, "cannot serve", state);
        if (loaded.status == LoadStatus::system_error && loaded.error == ENOENT)
            bulserve_log(LOG_ERR, "publish a bulletin first: bulpublish %s < TEXT-FILE",
                         options.file);
        return BULSERVE_EXIT_BULLETIN;
    }
    std::uint16_t port = 0;
    if (!bulserve_find_port(options, &port)) {
        to_terminal_too(options);
        bulserve_log(LOG_ERR,
                     "no port: the services database has no \"%s\" entry for %s; add "
                     "\"%s PORT/%s\" to /etc/services or give -p PORT",
                     BULLETIN_SERVICE, BULLETIN_PROTOCOL, BULLETIN_SERVICE, BULLETIN_PROTOCOL);
        return BULSERVE_EXIT_NETWORK;
    }

    if (!bulserve_signals_start(state.inotify_fd)) {
        to_terminal_too(options);
        bulserve_log(LOG_ERR, "cannot take signals: %s", std::strerror(errno));
        return BULSERVE_EXIT_NETWORK;
    }
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
        seed ^= reinterpret_cast<std::uintptr_t>(&seed) ^ static_cast<std::uint64_t>(getpid());
    // The parser has held every value to the bounds the table accepts.
    (void)rate_limit_init(&rate_limit, options.rate, seed);

    std::uint16_t bound = 0;
    bool lanes = false;
    int fd = bulserve_open_socket(options.address, port, &bound, &lanes);
    char address[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = options.address;
    inet_ntop(AF_INET, &a, address, sizeof address);
    if (fd < 0) {
        to_terminal_too(options);
        bulserve_log(LOG_ERR, "cannot listen on %s:%u: %s", address, port, std::strerror(errno));
        return BULSERVE_EXIT_NETWORK;
    }
    if (loaded.status == LoadStatus::ok)
        bulserve_log(LOG_INFO, "serving %s (%zu bytes, stamp %lld) on %s:%u", options.file,
                     state.current.file_size, static_cast<long long>(state.current.stamp),
                     address, bound);
    else if (state.current.length > 0)
        bulserve_log(LOG_NOTICE, "serving the last bulletin served (stamp %lld) on %s:%u",
                     static_cast<long long>(state.current.stamp), address, bound);
    else
        bulserve_log(LOG_NOTICE, "serving nothing yet on %s:%u", address, bound);
    // Why the file is not served, in the words of a running server.
    if (loaded.status != LoadStatus::ok)
        bulserve_log_load_failure(options.file, loaded, "cannot serve", state);
    if (state.state_dir == nullptr && !options.have_stamp)
        bulserve_log(LOG_WARNING,
                     "no state directory (-S or $STATE_DIRECTORY): stamps are remembered only "
                     "while this server runs");
    bulserve_notify("READY=1");
    int status = bulserve_serve(options, fd, lanes, &state, &rate_limit);
    close(fd);
    close(state.inotify_fd);
    return status;
}
