// The in-memory search over hostile documents with a few fixed queries (the
// first byte picks one and the output mode): every reported text lies inside
// the document, at most `limit` distinct results arrive, and a request that is sound
// never fails as a request. On plain term queries the tape engine, reading
// the same bytes from a file, reports the same matches on every strictly
// valid document (its matches in numbers and literals aside).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "rova_rudo/json_value.hpp"
#include "rova_rudo/search.hpp"
#include "rova_rudo/search_tape.hpp"

using namespace rova_rudo;

namespace {

using Match = std::tuple<std::string, std::string, ScalarKind, MatchShape, std::optional<std::uint64_t>>;

struct RecordingSink final : MatchSink {
    std::string_view doc;
    bool check_inside = true;
    std::vector<Match> matches;
    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t> offset) override {
        if (check_inside && !text.empty() &&
            (text.data() < doc.data() || text.data() + text.size() > doc.data() + doc.size()))
            std::abort();
        if (path.empty() || path[0] != '.') std::abort();
        matches.emplace_back(std::string(path), std::string(text), kind, shape, offset);
        return false;
    }
};

SearchQuery query_for(unsigned pick) {
    SearchQuery q;
    switch (pick % 10) {
        case 0: q.term = "a"; break;
        case 1:
            q.term = "1";
            q.all_types = true;
            break;
        case 2:
            q.key = "id";
            q.value = "1";
            break;
        case 3:
            q.term = "^[a-z]+$";
            q.regex = true;
            break;
        case 4:
            q.term = "A";
            q.case_sensitive = true;
            q.keys_only = true;
            break;
        case 5: q.path = ".[*]"; break;
        case 6: q.where = ".id > 1 || .name contains \"a\""; break;
        case 7:
            q.term = "e";
            q.type_filter = TypeFilter::String;
            q.limit = 3;
            break;
        case 8:
            q.term = "x";
            q.jsonl_in = true;
            break;
        case 9: q.where = ".a.b exists && !(.c | length >= 2)"; break;
    }
    q.emit = static_cast<EmitMode>((pick / 10) % 5);
    return q;
}

int memfd() {
    static int fd = memfd_create("search_fuzz", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned pick = data[0] % 50;
    std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
    const SearchQuery q = query_for(pick);
    RecordingSink mem;
    mem.doc = doc;
    SearchError e = run_in_memory_search(doc, q, mem);
    if (e.is_request_error()) std::abort();
    // A key and then its value at one path are two calls but one result,
    // both for the count and for the limit.
    std::uint64_t results = 0;
    for (std::size_t i = 0; i < mem.matches.size(); ++i)
        if (i == 0 || std::get<0>(mem.matches[i]) != std::get<0>(mem.matches[i - 1])) ++results;
    if (e.is_success() && e.matches() > mem.matches.size()) std::abort();
    if (q.limit && results > *q.limit) std::abort();

    // The tape engine serves plain term and key/value queries with path output.
    const unsigned k = pick % 10;
    if (!e.is_success() || q.emit != EmitMode::Path || !(k == 0 || k == 2 || k == 3 || k == 4)) return 0;
    // The engines check different things in broken documents (the tape
    // builder skips the four bytes after \u whatever they are), so only
    // strictly valid ones are compared.
    if (!parse_json_strict(doc)) return 0;
    int fd = memfd();
    if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
    if (pwrite(fd, doc.data(), doc.size(), 0) != static_cast<ssize_t>(doc.size())) return 0;
    RecordingSink tape;
    tape.check_inside = false;
    SearchError t = run_tape_search("/proc/self/fd/" + std::to_string(fd), q, tape);
    if (!t.is_success()) return 0;
    // The tape engine also matches numbers and literals by their raw text.
    // Either engine may hand over a second report at the same path (a key
    // and its value); the emitter drops it, so compare what it would keep.
    auto kept = [](const std::vector<Match>& all) {
        std::vector<Match> out;
        for (const Match& m : all) {
            if (std::get<3>(m) != MatchShape::ObjectKey && std::get<2>(m) != ScalarKind::String) continue;
            if (!out.empty() && std::get<0>(out.back()) == std::get<0>(m)) continue;
            out.push_back(m);
        }
        return out;
    };
    if (kept(tape.matches) != kept(mem.matches)) std::abort();
    return 0;
}
