#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_search_command(Args) {
    std::fputs("qm: search: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
