#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/help.hpp"
#include "cli/schema_flags.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/schema.hpp"

namespace cli {

// The key names read exactly as `schema` prints them in its paths (raw
// escapes, U+FFFD for invalid UTF-8), and a name holding '.' or '[' splits
// the way the printed path does.
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
    if (parsed->help) return 0;
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

    // A name's pieces depend on the name alone (a path splits at each '.',
    // a piece ends at its first '['), so each distinct name kept in the tree
    // is split once instead of splitting every printed path, whose total
    // length grows with the square of the nesting depth.
    std::vector<bool> used(tree->key_names.size(), false);
    for (const auto& node : tree->nodes) {
        if (node.key != 0) used[node.key - 1] = true;
    }
    // std::string orders by unsigned bytes, so "B" sorts before "a".
    std::set<std::string, std::less<>> names;
    std::string text;
    for (std::size_t k = 0; k < used.size(); ++k) {
        if (!used[k]) continue;
        text.clear();
        platform::append_replacing_invalid_sequences(text, tree->key_names[k]);
        std::string_view rest = text;
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
        if (out.failed()) break;
        out.write(n);
        out.put('\n');
    }
    out.flush();
    return 0;
}

}  // namespace cli
