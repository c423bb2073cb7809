// Runs a piece of a test in a forked child (for a different user id, a file
// size limit, or descriptors of its own) and reports its exit status.
#pragma once

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

// The child's exit status, or -1 when it did not exit normally.
inline int run_in_child(const std::function<int()> &body)
{
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
