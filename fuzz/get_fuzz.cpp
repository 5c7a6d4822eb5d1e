// Value lookup over hostile documents: the first line is the path, the rest
// the document. A found value lies inside the document, has the kind its
// first byte says, and a container span runs to its own closer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rova_rudo/get.hpp"
#include "rova_rudo/path_canonical.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    std::size_t nl = all.find('\n');
    if (nl == std::string_view::npos) return 0;
    auto c = canonicalize_path(all.substr(0, nl));
    if (!c) return 0;
    std::string_view doc = all.substr(nl + 1);
    auto v = get_value_at_path(doc, c.value().text, c.value().form);
    if (!v) {
        if (get_error_display(v.error()).empty()) std::abort();
        return 0;
    }
    const ValueSpan& s = v.value();
    if (s.len == 0 || s.start < doc.data() || s.start + s.len > doc.data() + doc.size()) std::abort();
    const char first = s.start[0], last = s.start[s.len - 1];
    switch (s.kind) {
        case GetValueKind::Object:
            if (first != '{') std::abort();
            // The whole document comes back untouched past its first byte.
            if (c.value().text != "root" && last != '}') std::abort();
            break;
        case GetValueKind::Array:
            if (first != '[') std::abort();
            if (c.value().text != "root" && last != ']') std::abort();
            break;
        case GetValueKind::String:
            if (first != '"') std::abort();
            if (c.value().text != "root" && (s.len < 2 || last != '"')) std::abort();
            break;
        default: break;
    }
    return 0;
}
