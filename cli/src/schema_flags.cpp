#include "cli/schema_flags.hpp"

#include <cstdio>
#include <cstdlib>

#include "cli/help.hpp"

namespace cli {

using platform::Err;

std::optional<std::uint64_t> parse_unsigned_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(ch - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

platform::Result<SchemaCommandOptions, std::string> parse_schema_flags(Args args) {
    SchemaCommandOptions opts;
    std::optional<std::string> file;
    std::optional<std::string> extra;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string_view name = arg;
        std::optional<std::string_view> inline_value;
        if (arg.size() >= 2 && arg.compare(0, 2, "--") == 0) {
            const auto eq = arg.find('=', 2);
            if (eq != std::string::npos) {
                name = std::string_view(arg).substr(0, eq);
                inline_value = std::string_view(arg).substr(eq + 1);
            }
        }
        if (name == "-h" || name == "--help") {
            print_topic_help(SCHEMA_HELP);
            std::fflush(stdout);
            std::exit(0);
        }
        if (name == "--format" || name == "--examples" || name == "--max-paths") {
            std::string_view value;
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return Err{std::string(name) + " requires a value"};
            }
            if (name == "--format") {
                if (value == "text") {
                    opts.format = SchemaFormat::Text;
                } else if (value == "jsonl") {
                    opts.format = SchemaFormat::JsonLines;
                } else if (value == "json") {
                    opts.format = SchemaFormat::Json;
                } else {
                    return Err{"--format: unknown value '" + std::string(value) + "'"};
                }
                continue;
            }
            const auto n = parse_unsigned_count(value);
            if (!n) return Err{std::string(name) + ": '" + std::string(value) + "' is not a non-negative integer"};
            (name == "--examples" ? opts.examples : opts.max_paths) = *n;
            continue;
        }
        if (name == "--paths-only") {
            opts.paths_only = true;
            continue;
        }
        if (name == "--no-collapse") {
            opts.no_collapse = true;
            continue;
        }
        if (arg.size() >= 2 && arg.compare(0, 2, "--") == 0) return Err{"unknown flag '" + arg + "'"};
        if (!file) {
            file = arg;
        } else if (!extra) {
            extra = arg;
        }
    }
    if (extra) return Err{"unexpected positional argument '" + *extra + "'"};
    if (file) opts.file = *file;
    return opts;
}

std::optional<InputBuffer> load_command_input(std::string_view command, const std::string& file, bool map) {
    std::string msg = "qm: " + std::string(command) + ": ";
    if (file == "-") {
        auto bytes = read_stdin_all();
        if (bytes) return InputBuffer(std::move(*bytes));
        msg += "stdin: " + bytes.error().message() + "\n";
    } else {
        auto buf = map ? open_mapped_file(file) : load_input_file(file);
        if (buf) return std::move(*buf);
        msg += file + ": " + buf.error().message() + "\n";
    }
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    return std::nullopt;
}

}  // namespace cli
