#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_keys_command(Args) {
    std::fputs("qm: keys: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
