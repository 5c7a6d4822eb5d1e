// Flattening and value truncation over hostile text: the first byte picks a
// budget. The flattened text is framed as path lines, and a cut text
// is a prefix of the original followed by the mark, within budget + 3 bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "rova_rudo/util.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint64_t budget = data[0] & 0x3f;
    const bool cut = data[0] & 0x40;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    auto t = truncate_with_ellipsis(text, budget);
    if (text.size() <= budget) {
        if (t) std::abort();
    } else {
        if (!t || t->size() > budget + kEllipsis.size() || t->size() < kEllipsis.size()) std::abort();
        std::string_view head(t->data(), t->size() - kEllipsis.size());
        if (text.substr(0, head.size()) != head || std::string_view(*t).substr(head.size()) != kEllipsis) std::abort();
    }

    std::string out = "junk";
    flatten_value(text, ".", cut ? std::optional<std::uint64_t>(budget) : std::nullopt, out);
    // Raw control bytes inside strings pass through, so only the frame of
    // the output is checked: it starts a path and ends a line.
    if (!out.empty() && (out[0] != '.' || out.back() != '\n' || out.find(" = ") == std::string::npos)) std::abort();
    return 0;
}
