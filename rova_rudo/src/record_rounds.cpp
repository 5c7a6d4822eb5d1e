#include "rova_rudo/record_rounds.hpp"

#include "rova_rudo/byte_search.hpp"

namespace rova_rudo {

namespace {

// The first offset at or after `at` that follows a line feed and holds "{"
// or "[", where a record likely starts (the inner lines of a pretty record
// are indented or start with "}" or "]"); the document's length if none.
std::uint64_t next_line_start(std::string_view d, std::uint64_t at) {
    while (at < d.size()) {
        const std::size_t nl = d.find('\n', at);
        if (nl == std::string_view::npos || nl + 1 >= d.size()) break;
        if (d[nl + 1] == '{' || d[nl + 1] == '[') return nl + 1;
        at = nl + 1;
    }
    return d.size();
}

// The first offset at or after `at` that follows a comma and the whitespace
// after it and starts with `lead`, where an element likely starts; the
// document's length if none.
std::uint64_t next_element_start(std::string_view d, std::uint64_t at, std::string_view lead) {
    while (at < d.size()) {
        const std::size_t p = find_substring(d.substr(at), lead);
        if (p == kNotFound) break;
        std::uint64_t q = at + p;
        while (q > 0 && is_json_whitespace(static_cast<std::uint8_t>(d[q - 1]))) --q;
        if (q > 0 && d[q - 1] == ',') return q;
        at += p + 1;
    }
    return d.size();
}

}  // namespace

std::string_view array_element_lead(std::string_view d, std::uint64_t bracket) {
    JsonCursor first(d, bracket + 1);
    skip_whitespace(first);
    if (first.pos >= d.size() || d[first.pos] != '{') return {};
    const std::size_t colon = d.find(':', first.pos);
    if (colon == std::string_view::npos || colon - first.pos > 64) return {};
    return d.substr(first.pos, colon + 1 - first.pos);
}

std::optional<std::uint64_t> RoundPlan::cut(std::uint64_t from) const {
    const std::uint64_t left = document_.size() - from;
    if (left < min_step(slice_)) return std::nullopt;
    // Slices shrink towards the end, so that the threads finish about
    // together, but not below the least worth a hand-off.
    const std::uint64_t step = std::min<std::uint64_t>(slice_, std::max(left / threads_, min_step(slice_)));
    const std::uint64_t until =
        array_ ? next_element_start(document_, from + step, lead_) : next_line_start(document_, from + step);
    // An element start found behind a long run of whitespace may lie at or
    // before `from`; any bound is sound (the slice after it is dropped when
    // it does not start a record), but every slice must move on.
    return until > from ? until : from + step;
}

}  // namespace rova_rudo
