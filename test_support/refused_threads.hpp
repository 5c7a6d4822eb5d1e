// Runs test code in a child process that cannot start a thread, for tests of
// the roads that must still work when the system refuses threads.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace test_support {

// Runs `body` (returning an exit code of 13 or more for a failure of its
// own, 0 for success) in a forked child whose every thread start fails, and
// returns the child's exit code: 10 when it could not drop root, 11 when
// the limit could not be set, 12 when a thread started anyway; -1 when the
// child did not exit.
template <typename Body>
int exit_code_without_threads(const Body& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // The limit counts the user's processes, which root is exempt from.
        if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(10);
        const rlimit one{1, 1};
        if (::setrlimit(RLIMIT_NPROC, &one) != 0) ::_exit(11);
        try {
            std::thread([] {}).join();
            ::_exit(12);  // the limit did not hold
        } catch (const std::system_error&) {
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace test_support
