#include "cli/flag_scan.hpp"

namespace cli {

FlagWord split_flag_word(const std::string& arg) {
    std::string_view a = arg;
    if (a.size() >= 2 && a.compare(0, 2, "--") == 0) {
        if (auto eq = a.find('=', 2); eq != std::string_view::npos) return {a.substr(0, eq), a.substr(eq + 1)};
    }
    return {a, std::nullopt};
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - d) / 10) return std::nullopt;
        n = n * 10 + d;
    }
    return n;
}

}  // namespace cli
