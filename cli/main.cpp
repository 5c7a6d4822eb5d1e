#include <cstdio>
#include <cstdlib>

#include "cli/commands.hpp"
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
    int code = cli::dispatch_subcommand(*args);
    std::fflush(stdout);
    return code;
}
