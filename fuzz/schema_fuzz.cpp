// Schema inference over hostile documents, with a path cap and an example
// count chosen by the first byte: the tree stays consistent (parents before
// children, key ids in range, examples distinct and short, cap respected)
// and every row prints. On a strictly valid document the schema holds, with
// its type, the collapsed path of every scalar that the search reports.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fuzz_support.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/schema.hpp"
#include "rova_rudo/search.hpp"

using namespace rova_rudo;

namespace {

struct Scalars final : MatchSink {
    std::vector<std::pair<std::string, ScalarKind>> found;
    bool emit_search_match(std::string_view path, std::string_view, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t>) override {
        if (shape == MatchShape::Scalar) found.emplace_back(std::string(path), kind);
        return false;
    }
};

// ".a[3].b[0]" -> ".a[*].b[*]"; the root's element segment is ".[*]".
std::string collapse(std::string_view p) {
    std::string out;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '[') {
            std::size_t j = p.find(']', i);
            if (out.empty()) out = ".";
            out += "[*]";
            i = j;
        } else {
            out += p[i];
        }
    }
    return out.empty() ? "." : out;
}

TypeMask mask_of(ScalarKind k) {
    switch (k) {
        case ScalarKind::Null: return kTypeNull;
        case ScalarKind::Boolean: return kTypeBoolean;
        case ScalarKind::Number: return kTypeNumber;
        default: return kTypeString;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    SchemaWalkOptions opts;
    // 3 stands for 40: past 16 examples a node's are found again by hash.
    opts.max_examples = (data[0] & 3) == 3 ? 40 : (data[0] & 3);
    opts.max_paths = (data[0] >> 2) == 0 ? 100000 : (data[0] >> 2);
    std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
    auto r = build_schema(doc, opts);
    if (!r) return 0;
    const SchemaTree& t = r.value();
    if (t.nodes.size() > std::max<std::size_t>(opts.max_paths, 1)) std::abort();
    for (std::size_t i = 0; i < t.nodes.size(); ++i) {
        const SchemaNode& n = t.nodes[i];
        if (i > 0 && (n.parent == 0 || n.parent > i)) std::abort();
        if (n.key > t.key_names.size()) std::abort();
        if (n.examples.size() > opts.max_examples) std::abort();
        for (std::size_t a = 0; a < n.examples.size(); ++a) {
            if (n.examples[a].size() > kSchemaExampleMaxBytes) std::abort();
            for (std::size_t b = a + 1; b < n.examples.size(); ++b)
                if (n.examples[a] == n.examples[b]) std::abort();
        }
        if (n.types == 0 || n.count == 0) std::abort();
    }
    auto rows = schema_rows(t);
    if (rows.size() != t.nodes.size()) std::abort();
    std::unordered_map<std::string, TypeMask> by_path;
    for (const auto& row : rows) {
        if (row.path.empty() || type_mask_names(row.types).empty()) std::abort();
        by_path[row.path] |= row.types;
    }

    if (t.truncated || !parse_json_strict(doc) || fuzz_support::strings_hold_path_marks(doc)) return 0;
    SearchQuery q;
    q.term = "";
    q.all_types = true;
    q.values_only = true;
    q.emit = EmitMode::Value;
    Scalars sink;
    if (!run_in_memory_search(doc, q, sink).is_success()) std::abort();
    for (const auto& [path, kind] : sink.found) {
        auto it = by_path.find(collapse(path));
        if (it == by_path.end() || !(it->second & mask_of(kind))) std::abort();
    }
    return 0;
}
