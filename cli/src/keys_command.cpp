#include <cstdio>
#include <set>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/help.hpp"
#include "cli/schema_flags.hpp"
#include "rova_rudo/schema.hpp"

namespace cli {

// The key names are taken from the printed schema paths, so a name reads
// exactly as `schema` prints it (raw escapes, U+FFFD for invalid UTF-8), and
// a name holding '.' or '[' splits the way the printed path does.
int run_keys_command(Args args) {
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            print_topic_help(KEYS_HELP);
            return 0;
        }
    }
    auto parsed = parse_schema_flags(args);
    if (!parsed) {
        const std::string msg = "qm: keys: " + parsed.error() + "\n";
        std::fwrite(msg.data(), 1, msg.size(), stderr);
        return 2;
    }
    auto input = load_command_input("keys", parsed->file, false);
    if (!input) return 3;

    rova_rudo::SchemaWalkOptions walk;
    walk.max_examples = 0;
    walk.max_paths = parsed->max_paths.value_or(100000);
    walk.collapse = true;
    auto tree = rova_rudo::build_schema(input->text(), walk);
    if (!tree) {
        const std::string msg = "qm: keys: parse error: " + rova_rudo::parse_error_display(tree.error()) + "\n";
        std::fwrite(msg.data(), 1, msg.size(), stderr);
        return 3;
    }

    // std::string orders by unsigned bytes, so "B" sorts before "a".
    std::set<std::string, std::less<>> names;
    for (const auto& row : rova_rudo::schema_rows(*tree)) {
        std::string_view rest = row.path;
        while (true) {
            const auto dot = rest.find('.');
            std::string_view piece = rest.substr(0, dot);
            piece = piece.substr(0, piece.find('['));
            if (!piece.empty() && names.find(piece) == names.end()) names.emplace(piece);
            if (dot == std::string_view::npos) break;
            rest.remove_prefix(dot + 1);
        }
    }

    BufferedWriter out(1);
    for (const std::string& n : names) {
        out.write(n);
        out.put('\n');
    }
    out.flush();
    return 0;
}

}  // namespace cli
