// Flattening and value truncation over hostile text: the first byte picks a
// budget. The flattened text is framed as path lines, and a cut text
// is a prefix of the original followed by the mark, within budget + 3 bytes.
// On a strictly valid document the lines are the leaves the search's
// assignment output lists.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rova_rudo/json_value.hpp"
#include "rova_rudo/search.hpp"
#include "rova_rudo/util.hpp"

using namespace rova_rudo;

namespace {

// "path = value" lines as the search's assignment output would print them.
struct AssignmentLines final : MatchSink {
    std::vector<std::string> lines;
    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape,
                           std::optional<std::uint64_t>) override {
        std::string l(path);
        l += " = ";
        if (kind == ScalarKind::String) l += '"';
        l += text;
        if (kind == ScalarKind::String) l += '"';
        lines.push_back(std::move(l));
        return false;
    }
};

// Consecutive equal paths collapse to the first, as the emitter keeps them.
std::vector<std::string> kept(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    std::string last;
    for (const auto& l : lines) {
        const std::string path = l.substr(0, l.find(" = "));
        if (!out.empty() && path == last) continue;
        last = path;
        out.push_back(l);
    }
    return out;
}

}  // namespace

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

    // On a strictly valid document, flattening lists the leaves the search
    // finds (whose strings then hold no raw line feed).
    if (cut || !parse_json_strict(text)) return 0;
    std::vector<std::string> flat;
    for (std::size_t pos = 0; pos < out.size();) {
        const std::size_t nl = out.find('\n', pos);
        flat.push_back(out.substr(pos, nl - pos));
        pos = nl + 1;
    }
    SearchQuery q;
    q.term = "";
    q.all_types = true;
    q.values_only = true;
    q.emit = EmitMode::Assignment;
    AssignmentLines sink;
    if (!run_in_memory_search(text, q, sink).is_success()) std::abort();
    if (kept(flat) != kept(sink.lines)) std::abort();
    return 0;
}
