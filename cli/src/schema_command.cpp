#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

int run_schema_command(Args) {
    std::fputs("qm: schema: not available yet\n", stderr);
    return 3;
}

}  // namespace cli
