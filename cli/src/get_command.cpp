#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_get_command(Args) {
    std::fputs("qm: get: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
