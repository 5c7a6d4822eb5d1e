#include "cli/schema_flags.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/help.hpp"

namespace cli {

using platform::Err;

platform::Result<SchemaCommandOptions, std::string> parse_schema_flags(Args args) {
    SchemaCommandOptions opts;
    std::optional<std::string> file;
    std::optional<std::string> extra;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto [name, inline_value] = split_flag_word(arg);
        if (name == "-h" || name == "--help") {
            print_topic_help(SCHEMA_HELP);
            opts.help = true;
            return opts;
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
            const auto n = parse_count(value);
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

std::optional<InputBuffer> load_command_input(std::string_view command, const std::string& file) {
    std::string msg = "qm: " + std::string(command) + ": ";
    if (file == "-") {
        auto bytes = read_stdin_all();
        if (bytes) return InputBuffer(std::move(bytes.value()));
        msg += "stdin: " + bytes.error().message() + "\n";
    } else {
        auto buf = open_mapped_file(file);
        if (buf) return std::move(*buf);
        msg += file + ": " + buf.error().message() + "\n";
    }
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    return std::nullopt;
}

void write_max_paths_warning(std::string_view command, std::uint64_t max_paths) {
    std::string msg = "qm: " + std::string(command) + ": WARNING \xE2\x80\x94 exceeded max-paths (";
    msg += std::to_string(max_paths);
    msg += "); output may be truncated. Use --max-paths to raise the cap.\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
}

bool input_held(std::string_view command, const std::string& file, const InputBuffer& input) {
    const char* why = input.failure_after_use();
    if (!why) return true;
    const std::string msg = "qm: " + std::string(command) + ": " + file + ": " + why + "\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    return false;
}

}  // namespace cli
