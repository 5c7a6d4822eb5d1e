#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_find_command(Args) {
    std::fputs("qm: find: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
