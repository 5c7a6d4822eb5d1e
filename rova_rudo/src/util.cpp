#include "rova_rudo/util.hpp"

#include <algorithm>

#include "platform/utf8.hpp"
#include "rova_rudo/event_walker.hpp"

namespace rova_rudo {

std::optional<std::string> truncate_with_ellipsis(std::string_view text, std::uint64_t max) {
    if (text.size() <= max) return std::nullopt;
    std::size_t cut = static_cast<std::size_t>(max);
    // Only a text that is UTF-8 throughout has characters to keep whole;
    // anything else is cut as bytes.
    if (platform::is_valid_utf8(text)) {
        while (cut > 0 && platform::is_utf8_continuation(static_cast<unsigned char>(text[cut]))) --cut;
    }
    std::string r;
    r.reserve(cut + kEllipsis.size());
    r.append(text.substr(0, cut));
    r.append(kEllipsis);
    return r;
}

void FlattenPath::grow(std::size_t need) {
    const std::size_t cap = std::max({need, 2 * cap_, std::size_t{256}});
    std::unique_ptr<char[]> bigger(new char[cap]);
    if (len_) std::memcpy(bigger.get(), buf_.get(), len_);
    buf_ = std::move(bigger);
    cap_ = cap;
}

void FlattenPath::append_key_slowly(std::string_view key) {
    if (platform::is_valid_utf8(key)) {
        append(key.data(), key.size());
        return;
    }
    std::string replaced;
    platform::append_replacing_non_ascii_unless_valid(replaced, key);
    append(replaced.data(), replaced.size());
}

void flatten_value(std::string_view value, std::string_view prefix, std::optional<std::uint64_t> truncation,
                   std::string& out) {
    out.clear();
    AppendedLines append{out};
    const FlattenOptions options{truncation, std::nullopt, false};
    FlattenVisitor<AppendedLines> v{options, append, value.data() + value.size()};
    v.path.assign(prefix);
    JsonCursor c(value);
    (void)walk_json_events(c, v);
}

}  // namespace rova_rudo
