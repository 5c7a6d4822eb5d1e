// Schema inference over hostile documents, with a path cap and an example
// count chosen by the first byte: the tree stays consistent (parents before
// children, key ids in range, examples distinct and short, cap respected)
// and every row prints.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rova_rudo/schema.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    SchemaWalkOptions opts;
    opts.max_examples = data[0] & 3;
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
    for (const auto& row : rows) {
        if (row.path.empty() || type_mask_names(row.types).empty()) std::abort();
    }
    return 0;
}
