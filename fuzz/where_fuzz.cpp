// The predicate parser must turn any text into a predicate or an error with a
// message, never crash or loop; a parsed predicate must then evaluate over a
// small document without fault, and its tree must be well formed (children
// before parents, leaves naming real clauses).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rova_rudo/search.hpp"
#include "rova_rudo/where_expr/parser.hpp"

using namespace rova_rudo;

namespace {

struct CountSink final : MatchSink {
    std::uint64_t n = 0;
    bool emit_search_match(std::string_view, std::string_view, ScalarKind, MatchShape,
                           std::optional<std::uint64_t>) override {
        ++n;
        return false;
    }
};

constexpr std::string_view kDoc =
    R"({"a":1,"b":"xyz","c":[1,2,{"a":3,"d":null}],"e":{"f":true,"g":[]},"h":"Ab\u00e9","i":-2.5e3})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto r = parse_where(text);
    if (!r) {
        if (where_error_display(r.error()).empty()) std::abort();
        return 0;
    }
    const WherePredicate& p = r.value();
    if (p.expr.nodes.empty() || p.expr.root != p.expr.nodes.size() - 1) std::abort();
    for (std::size_t i = 0; i < p.expr.nodes.size(); ++i) {
        const WhereNode& n = p.expr.nodes[i];
        if (n.tag == WhereNode::Tag::Leaf) {
            if (n.a >= p.clauses.size()) std::abort();
        } else {
            if (n.a >= i) std::abort();
            if (n.tag != WhereNode::Tag::Not && n.b >= i) std::abort();
        }
    }
    for (const WhereClause& c : p.clauses) {
        if (c.path.empty() || !c.path[0].is_key()) std::abort();
        if (c.kind == WhereClauseKind::Matches && !c.regex) std::abort();
    }
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return 0;
    SearchQuery q;
    q.where = std::string(text);
    q.emit = EmitMode::Object;
    CountSink sink;
    SearchError e = run_in_memory_search(kDoc, q, sink);
    if (!e.is_success()) std::abort();  // the text parsed above, so the request is sound
    return 0;
}
