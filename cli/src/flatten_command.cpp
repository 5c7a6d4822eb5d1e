#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_flatten_command(Args) {
    std::fputs("qm: flatten: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
