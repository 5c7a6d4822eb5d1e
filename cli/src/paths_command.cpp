#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_paths_command(Args) {
    std::fputs("qm: paths: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
