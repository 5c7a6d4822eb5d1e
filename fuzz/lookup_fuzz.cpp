// Two walkers written apart must agree: on a strictly valid document, every
// scalar the in-memory search reports is what value lookup finds at the
// printed path (the first time that path is reported: lookup stops at the
// first of repeated keys). Only documents whose strings are not empty and
// hold no '.', '[' or ']', and paths whose keys are plain names, are asked,
// since other keys print like fewer or more segments.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rova_rudo/get.hpp"
#include "fuzz_support.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/path_canonical.hpp"
#include "rova_rudo/search.hpp"

using namespace rova_rudo;

namespace {

struct Collect final : MatchSink {
    std::vector<std::pair<std::string, std::string>> scalars;
    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind, MatchShape shape,
                           std::optional<std::uint64_t>) override {
        if (shape == MatchShape::Scalar) scalars.emplace_back(std::string(path), std::string(text));
        return false;
    }
};

bool plain_path(std::string_view p) {
    if (p.empty() || p == ".") return false;  // "." is the root and also a member named ""
    std::size_t i = 0;
    while (i < p.size()) {
        if (p[i] == '.') {
            std::size_t j = i + 1;
            auto word = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
            if (j >= p.size() || !word(p[j])) return false;
            while (j < p.size() && (word(p[j]) || (p[j] >= '0' && p[j] <= '9'))) ++j;
            i = j;
        } else if (p[i] == '[') {
            std::size_t j = i + 1;
            while (j < p.size() && p[j] >= '0' && p[j] <= '9') ++j;
            if (j == i + 1 || j >= p.size() || p[j] != ']') return false;
            i = j + 1;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view doc(reinterpret_cast<const char*>(data), size);
    if (!parse_json_strict(doc) || fuzz_support::strings_hold_path_marks(doc)) return 0;
    SearchQuery q;
    q.term = "";
    q.all_types = true;
    q.values_only = true;
    q.emit = EmitMode::Value;
    Collect sink;
    if (!run_in_memory_search(doc, q, sink).is_success()) std::abort();
    std::set<std::string> asked;
    for (const auto& [path, text] : sink.scalars) {
        if (!plain_path(path) || !asked.insert(path).second) continue;
        auto canon = canonicalize_path(path);
        if (!canon) std::abort();
        auto v = get_value_at_path(doc, canon.value().text);
        // With a repeated key lookup follows the first one, which may hold
        // something else; but a valid document never fails to parse.
        if (!v) {
            if (v.error().kind == GetError::Kind::Parse) std::abort();
            continue;
        }
        if (v.value().kind == GetValueKind::Object || v.value().kind == GetValueKind::Array) continue;
        std::string_view got = v.value().text();
        if (v.value().kind == GetValueKind::String) got = got.substr(1, got.size() - 2);
        if (got != text) std::abort();
    }
    return 0;
}
