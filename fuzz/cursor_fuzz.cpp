// The tape search's forward cursor over hostile documents: on every tape the
// lenient builder accepts (any value in a key's place, members without a
// colon, several top-level values), visiting entries in ascending order with
// strides picked by the first byte, the cursor gives the path, the key
// position and the member key that the child lists give.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "rova_rudo/search_tape.hpp"
#include "tape_parser/parse.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned stride_seed = data[0];
    ++data;
    --size;
    auto parsed = tape_parser::parse_buffer_chunked(data, size, 64, 0.0);
    if (!parsed.ok()) return 0;
    const tape_parser::Tape& tape = parsed->tape;
    TapeChildIndex index;
    TapeCursor cursor(tape, data);
    std::string want;
    std::vector<TapePathSegment> segments;
    unsigned seed = stride_seed;
    for (std::size_t i = 0; i < tape.size();) {
        const auto at = static_cast<std::uint32_t>(i);
        cursor.move_to(at);
        tape_node_path(tape, data, at, want, segments, index);
        if (cursor.path() != want) std::abort();
        const std::uint32_t p = tape[i].parent();
        const bool in_object = p != tape_parser::kNoParent && tape[p].is_object();
        if (cursor.at_key_position() != (in_object && tape_child_position(tape, index, p, at))) std::abort();
        const std::optional<std::uint32_t> key = in_object ? tape_member_key(tape, index, p, at) : std::nullopt;
        if (cursor.member_key() != key) std::abort();
        seed = seed * 1103515245u + 12345u;
        i += 1 + ((seed >> 16) % (stride_seed % 8 + 1));
    }
    return 0;
}
