// Path texts in every accepted form: canonicalisation, segment parsing,
// lookup on a fixed document and pattern compilation must each give a result
// or an error with a message. Canonicalising a canonical text gives it back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rova_rudo/get.hpp"
#include "rova_rudo/path_canonical.hpp"
#include "rova_rudo/path_pattern.hpp"

using namespace rova_rudo;

namespace {
constexpr std::string_view kDoc = R"({"a":[1,{"b":"x"}],"my key":{"0":true},"":null})";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto c = canonicalize_path(text);
    if (!c) {
        if (path_syntax_error_display(c.error()).empty()) std::abort();
    } else {
        const std::string& canon = c.value().text;
        if (canon.rfind("root", 0) != 0) std::abort();
        auto again = canonicalize_path(canon);
        if (!again || again.value().text != canon) std::abort();
        auto segs = parse_canonical_segments(canon, c.value().form);
        if (!segs && get_error_display(segs.error()).empty()) std::abort();
        auto v = get_value_at_path(kDoc, canon, c.value().form);
        if (v) {
            std::string_view t = v.value().text();
            if (t.data() < kDoc.data() || t.data() + t.size() > kDoc.data() + kDoc.size()) std::abort();
        } else if (get_error_display(v.error()).empty()) {
            std::abort();
        }
    }
    auto n = normalize_path_segments(text);
    (void)n;
    auto p = compile_path_pattern(text);
    if (!p && p.error().empty()) std::abort();
    return 0;
}
