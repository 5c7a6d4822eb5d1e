// Pieces every subcommand's hand-written flag scan shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// A long flag with its value in the same argument ("--limit=5") splits at the
// first '='; any other argument is all name and no inline value.
struct FlagWord {
    std::string_view name;
    std::optional<std::string_view> inline_value;
};
FlagWord split_flag_word(const std::string& arg);

// An unsigned decimal count: optional '+', then digits only, within 64 bits.
[[nodiscard]] std::optional<std::uint64_t> parse_count(std::string_view text);

}  // namespace cli
