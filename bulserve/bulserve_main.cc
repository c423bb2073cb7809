#include <arpa/inet.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "bulserve/bulserve.h"

int main(int argc, char *argv[])
{
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "bulserve";
    BulserveOptions options;
    const char *offending = nullptr;
    if (!bulserve_parse_args(argc, argv, &options, &offending)) {
        bulserve_usage(program, offending);
        return BULSERVE_EXIT_USAGE;
    }
    bulserve_log_init(options.log_stderr);

    // Start-up failures go to the terminal as well as to the log: the
    // operator starting the server is looking there.
    ServeState state;
    LoadResult loaded = bulserve_load(options.file, options, &state.current, &state.pinned_fd);
    if (loaded.status != LoadStatus::ok) {
        if (!options.log_stderr)
            bulserve_log_init(true);
        bulserve_log_load_failure(options.file, loaded, "cannot serve");
        return BULSERVE_EXIT_BULLETIN;
    }
    std::uint16_t port = 0;
    if (!bulserve_find_port(options, &port)) {
        if (!options.log_stderr)
            bulserve_log_init(true);
        bulserve_log(LOG_ERR, "no port: the services database has no \"%s\" entry for %s; "
                     "add one or give -p PORT", BULLETIN_SERVICE, BULLETIN_PROTOCOL);
        return BULSERVE_EXIT_NETWORK;
    }

    // Signals are taken through a descriptor so that the wait for requests
    // and the wait for SIGTERM are one poll, with no window between them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    int signal_fd = -1;
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0 ||
        (signal_fd = signalfd(-1, &signals, SFD_CLOEXEC)) < 0) {
        if (!options.log_stderr)
            bulserve_log_init(true);
        bulserve_log(LOG_ERR, "cannot take signals: %s", std::strerror(errno));
        return BULSERVE_EXIT_NETWORK;
    }

    std::uint16_t bound = 0;
    int fd = bulserve_open_socket(options.address, port, &bound);
    char address[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = options.address;
    inet_ntop(AF_INET, &a, address, sizeof address);
    if (fd < 0) {
        if (!options.log_stderr)
            bulserve_log_init(true);
        bulserve_log(LOG_ERR, "cannot listen on %s:%u: %s", address, port, std::strerror(errno));
        return BULSERVE_EXIT_NETWORK;
    }
    bulserve_log(LOG_INFO, "serving %s (%zu bytes, stamp %lld) on %s:%u", options.file,
                 state.current.length, static_cast<long long>(state.current.stamp), address,
                 bound);
    int status = bulserve_serve(options, fd, signal_fd, &state);
    close(fd);
    close(signal_fd);
    close(state.pinned_fd);
    return status;
}
