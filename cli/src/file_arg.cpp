#include "cli/file_arg.hpp"

#include <string>

#include "platform/io.hpp"
#include "platform/utf8.hpp"

namespace cli {

namespace {

bool ends_with_ascii_ci(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && platform::ascii_iequals(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace

bool looks_like_file_arg(std::string_view arg) {
    if (arg == "*" || arg == "-") return true;
    if (arg.find_first_of("*?") != std::string_view::npos) return true;
    if (ends_with_ascii_ci(arg, ".json") || ends_with_ascii_ci(arg, ".jsonl") || ends_with_ascii_ci(arg, ".ndjson"))
        return true;
    if (arg.empty()) return false;
    auto meta = platform::stat_path(std::string(arg));
    return meta.ok() && meta.value().kind != platform::FileKind::Directory;
}

std::optional<std::string> argument_order_hint(std::string_view subcommand, std::span<const std::string> positionals,
                                               std::string_view what) {
    if (positionals.size() != 2) return std::nullopt;
    const std::string& first = positionals[0];
    const std::string& second = positionals[1];
    if (!looks_like_file_arg(first) || looks_like_file_arg(second)) return std::nullopt;

    std::string suggested = subcommand == "search" ? "\"" + second + "\"" : second;
    std::string msg;
    msg += "argument order changed \u2014 ";
    msg += what;
    msg += " now comes before file.\ntry: qm ";
    msg += subcommand;
    msg += ' ';
    msg += suggested;
    msg += ' ';
    msg += first;
    msg += "\n(got: qm ";
    msg += subcommand;
    msg += ' ';
    msg += first;
    msg += ' ';
    msg += second;
    msg += ')';
    return msg;
}

}  // namespace cli
