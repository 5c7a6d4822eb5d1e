#include <cstdio>
#include <cstdlib>

#include <cerrno>
#include <new>
#include <string>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "platform/io.hpp"
#include "platform/fault.hpp"
#include "platform/system.hpp"

int main(int argc, char** argv) {
    platform::ignore_sigpipe();
    platform::exit_cleanly_on_sigbus();
    std::size_t bad = 0;
    auto args = platform::command_line_args(argc, argv, &bad);
    if (!args) {
        std::fprintf(stderr, "qm: argument %zu is not valid UTF-8\n", bad);
        return 2;
    }
    int code;
    try {
        code = cli::dispatch_subcommand(*args);
    } catch (const std::bad_alloc&) {
        // Memory ran out in a walk (a limit set with ulimit, say): a runtime
        // error with its message, not an abort.
        std::fflush(stdout);
        std::string msg = "qm: " + (*args)[1] + ": " + platform::IoError{ENOMEM}.message() + "\n";
        std::fwrite(msg.data(), 1, msg.size(), stderr);
        return 3;
    }
    int write_error = cli::output_write_error();
    if (std::fflush(stdout) != 0 && errno != EPIPE && write_error == 0) write_error = errno;
    // Output that could not be written (a full disk) makes a success a
    // runtime error; a closed pipe does not.
    if (write_error != 0 && (code == 0 || code == 1)) {
        std::string msg = "qm: " + (*args)[1] + ": write error: " + platform::IoError{write_error}.message() + "\n";
        std::fwrite(msg.data(), 1, msg.size(), stderr);
        return 3;
    }
    return code;
}
