// The strict reader and the writers: whatever the reader accepts, the compact
// text it writes reads again and writes the same text; the pretty text reads
// back to the same compact text; reformat_json agrees with both, in both
// styles.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rova_rudo/json_value.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto doc = parse_json_strict(text);
    std::string via;
    const bool ok = reformat_json(text, JsonStyle::Compact, via);
    if (!doc) {
        if (ok || !via.empty() || doc.error().offset > size || doc.error().what.empty()) std::abort();
        return 0;
    }
    if (!ok) std::abort();
    std::string compact;
    write_json(doc.value(), JsonStyle::Compact, compact);
    if (compact != via) std::abort();
    auto doc2 = parse_json_strict(compact);
    if (!doc2) std::abort();
    std::string compact2;
    write_json(doc2.value(), JsonStyle::Compact, compact2);
    if (compact2 != compact) std::abort();

    std::string pretty;
    write_json(doc.value(), JsonStyle::Pretty, pretty);
    std::string back;
    if (!reformat_json(pretty, JsonStyle::Compact, back) || back != compact) std::abort();

    // Draining in pieces gives the same bytes as writing whole, from the
    // document or straight from the text.
    std::string pieces, out;
    write_json(doc.value(), JsonStyle::Pretty, out, [&](std::string& s) {
        pieces += s;
        s.clear();
    });
    if (pieces + out != pretty) std::abort();
    pieces.clear();
    out.clear();
    const bool again = reformat_json(text, JsonStyle::Pretty, out, [&](std::string& s) {
        pieces += s;
        s.clear();
    });
    if (!again || pieces + out != pretty) std::abort();
    return 0;
}
