#include "bulcheck/bulcheck.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

volatile sig_atomic_t bulcheck_step = BULCHECK_OK;

namespace {

void write_text(const char *text)
{
    if (write(STDOUT_FILENO, text, std::strlen(text)) < 0) {
    }
}

// Only async-signal-safe calls: the report so far is out already, line by
// line; this ends it with the step that was running.
void on_alarm(int)
{
    static const char *const steps[] = {
        "", "", "the configuration", "the name service", "the bulletin server's port or address",
        "the exchange with the bulletin server", "the machine-wide copy"};
    int step = bulcheck_step;
    if (step < BULCHECK_CONFIG || step > BULCHECK_COPY)
        step = BULCHECK_COPY;
    write_text("\n  BREAK: the check ran out of its bound during ");
    write_text(steps[step]);
    write_text(";\n         that step is far too slow for a login.\n");
    _exit(step);
}

}  // namespace

void bulcheck_bound(unsigned seconds)
{
    struct sigaction action {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(seconds);
}
