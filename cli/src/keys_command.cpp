#include <algorithm>
#include <cstdio>
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
// escapes, U+FFFD for invalid UTF-8), each whole: "1.0" is one name.
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
    auto input = load_command_input("keys", parsed->file);
    if (!input) return 3;

    rova_rudo::SchemaWalkOptions walk;
    walk.max_examples = 0;
    walk.max_paths = parsed->max_paths.value_or(100000);
    walk.collapse = true;
    walk.file_map = input->is_mapped();
    auto tree = rova_rudo::build_schema(input->text(), walk);
    if (!tree) {
        if (!input_held("keys", parsed->file, *input)) return 3;
        const std::string msg = "qm: keys: parse error: " + rova_rudo::parse_error_display(tree.error()) + "\n";
        std::fwrite(msg.data(), 1, msg.size(), stderr);
        return 3;
    }

    if (tree->truncated) write_max_paths_warning("keys", walk.max_paths);

    // Every distinct key the walk met is interned, also under paths the cap
    // dropped, so the list is whole even when the tree is not.
    // std::string orders by unsigned bytes, so "B" sorts before "a".
    std::vector<std::string> names;
    names.reserve(tree->key_names.size());
    for (const std::string& raw : tree->key_names) {
        std::string text;
        platform::append_replacing_invalid_sequences(text, raw);
        names.push_back(std::move(text));
    }
    std::sort(names.begin(), names.end());
    // Two raw names can read the same once invalid UTF-8 is replaced.
    names.erase(std::unique(names.begin(), names.end()), names.end());

    BufferedWriter out(1);
    for (const std::string& n : names) {
        if (out.failed()) break;
        out.write(n);
        out.put('\n');
    }
    out.flush();
    return input_held("keys", parsed->file, *input) ? 0 : 3;
}

}  // namespace cli
