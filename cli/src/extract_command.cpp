#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_extract_command(Args) {
    std::fputs("qm: extract: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
