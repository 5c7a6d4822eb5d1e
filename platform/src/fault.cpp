#include "platform/fault.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace platform {

namespace {

void on_sigbus(int) {
    // Only async-signal-safe calls here; buffered output is dropped, since
    // the run cannot finish correctly anyway.
    const ssize_t n = ::write(2, kInputShrankMessage, sizeof kInputShrankMessage - 1);
    (void)n;
    ::_exit(kInputShrankExitCode);
}

}  // namespace

void exit_cleanly_on_sigbus() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigbus;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, nullptr);
}

}  // namespace platform
