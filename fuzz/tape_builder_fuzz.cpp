// The chunk builder must give the same tape, statistics and error however the
// input is cut into chunks. The first bytes choose the cuts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tape_parser/builder.hpp"

using namespace tape_parser;

namespace {

struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<TapeEntry> tape;
    ParseStats stats;
};

Outcome build(const std::uint8_t* data, std::size_t len, const std::vector<std::size_t>& cuts) {
    Outcome o;
    TapeBuilderState state;
    Tape tape;
    std::size_t pos = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        std::size_t end = i < cuts.size() ? cuts[i] : len;
        auto r = build_tape_chunk(data + pos, end - pos, pos, end == len, state, tape, o.stats);
        if (!r) {
            o.error = r.error();
            return o;
        }
        pos = end;
    }
    auto f = finish_tape(state, len, tape, o.stats);
    if (!f) {
        o.error = f.error();
        return o;
    }
    o.ok = true;
    o.tape.assign(tape.begin(), tape.end());
    return o;
}

// A literal cut by the end of the input is reported by length when it arrives
// whole ("Unexpected EOF in literal") but by its bytes when a chunk cut makes it
// resume ("Invalid literal"); both name the same position.
bool same_error(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string eof = "Unexpected EOF in literal at position ", bad = "Invalid literal at position ";
    auto tail = [](const std::string& s, const std::string& head) {
        return s.rfind(head, 0) == 0 ? s.substr(head.size()) : std::string("?");
    };
    return (tail(a, eof) == tail(b, bad) && tail(a, eof) != "?") ||
           (tail(a, bad) == tail(b, eof) && tail(a, bad) != "?");
}

bool same(const Outcome& a, const Outcome& b) {
    if (a.ok != b.ok || !same_error(a.error, b.error)) return false;
    if (!a.ok) return true;
    // An empty vector's data() may be null, which memcmp must not be given.
    return a.stats == b.stats && a.tape.size() == b.tape.size() &&
           (a.tape.empty() || std::memcmp(a.tape.data(), b.tape.data(), a.tape.size() * sizeof(TapeEntry)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned seed = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;
    Outcome whole = build(data, size, {});
    std::vector<std::size_t> cuts;
    std::size_t pos = 0;
    while (size > 0) {
        seed = seed * 1103515245u + 12345u;
        pos += 1 + (seed >> 16) % 17;
        if (pos >= size) break;
        cuts.push_back(pos);
    }
    if (!same(whole, build(data, size, cuts))) std::abort();
    return 0;
}
