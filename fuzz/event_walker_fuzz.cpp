// The event walker over hostile bytes: events nest properly, every token it
// hands over lies inside the input, array indices count up from 0, and a
// finished walk has closed every container it opened. A document that the
// strict reader accepts is accepted by every lenient reader too: the walker,
// the tape parser, schema inference and the lookup of the whole document.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "rova_rudo/event_walker.hpp"
#include "rova_rudo/get.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/schema.hpp"
#include "tape_parser/parse.hpp"

using namespace rova_rudo;

namespace {

struct CheckingVisitor {
    std::string_view doc;
    std::vector<std::int64_t> open;  // -1 for an object, else the next index due
    std::uint64_t last_close = 0;
    std::uint64_t events = 0;
    bool stop_at = false;
    std::uint64_t stop_after = 0;

    void inside(std::string_view s) const {
        if (s.data() < doc.data() || s.data() + s.size() > doc.data() + doc.size()) std::abort();
    }
    bool tick() { return stop_at && ++events == stop_after; }
    bool visitor_enter_array(std::uint64_t off) {
        if (off >= doc.size() || doc[off] != '[') std::abort();
        open.push_back(0);
        return tick();
    }
    bool visitor_enter_object(std::uint64_t off) {
        if (off >= doc.size() || doc[off] != '{') std::abort();
        open.push_back(-1);
        return tick();
    }
    void visitor_array_element(std::uint32_t i) {
        if (open.empty() || open.back() != static_cast<std::int64_t>(i)) std::abort();
        ++open.back();
    }
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        if (open.empty() || open.back() != -1) std::abort();
        return scan_member_key(c, [this](std::string_view key) { inside(key); });
    }
    bool visitor_scalar(std::string_view tok, ScalarKind) {
        inside(tok);
        return tick();
    }
    bool visitor_exit_container(std::uint64_t past) {
        if (open.empty() || past == 0 || past > doc.size()) std::abort();
        const char closer = doc[past - 1];
        if (closer != (open.back() == -1 ? '}' : ']')) std::abort();
        open.pop_back();
        return tick();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    CheckingVisitor v;
    v.doc = std::string_view(reinterpret_cast<const char*>(data + 1), size - 1);
    v.stop_at = data[0] & 0x80;
    v.stop_after = data[0] & 0x7f;
    JsonCursor c(v.doc);
    WalkOutcome o = walk_json_events(c, v);
    if (c.pos > v.doc.size()) std::abort();
    if (!o.is_error() && !o.stopped() && !v.open.empty()) std::abort();
    if (o.is_error() && parse_error_display(o.error()).empty()) std::abort();

    if (!parse_json_strict(v.doc)) return 0;
    if (o.is_error()) std::abort();
    auto tape = tape_parser::parse_buffer_chunked(data + 1, size - 1, 1 + (data[0] & 0x3f), 0.0);
    if (!tape) std::abort();
    if (!build_schema(v.doc, SchemaWalkOptions{})) std::abort();
    if (!get_value_at_path(v.doc, "root")) std::abort();
    return 0;
}
