// The result emitter fed by the in-memory search over hostile documents, with
// options picked by the first three bytes: the record bytes never exceed the
// output cap, and for a strictly valid document without caps the JSON and
// JSON Lines output is itself valid JSON.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/emitter.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/search.hpp"

using namespace rova_rudo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t a = data[0], b = data[1], c = data[2];
    std::string_view doc(reinterpret_cast<const char*>(data + 3), size - 3);

    std::string captured;
    std::uint64_t records = 0;
    cli::OutputFormat format = static_cast<cli::OutputFormat>(a % 3);
    {
        cli::BufferedWriter w(&captured);
        cli::ResultEmitter em(w);
        em.format = format;
        em.emit = static_cast<EmitMode>((a / 3) % 5);
        em.envelope = a & 0x40;
        em.raw = a & 0x80;
        if (b & 0x01) em.max_value_bytes = (b >> 4);
        if (b & 0x02) em.max_output = (b >> 2) * 3;
        if (b & 0x04) em.file_prefix = std::string("f\xff.json");
        em.count_only = (b & 0x0f) == 0x08;
        if (c & 1) {
            em.color_on = true;
            em.highlight = std::string((b & 0x08) ? "a" : "1");
        }

        SearchQuery q;
        q.term = (b & 0x08) ? "a" : "1";
        q.all_types = true;
        q.emit = em.emit;
        SearchError e = run_in_memory_search(doc, q, em);
        if (e.is_request_error()) std::abort();
        w.flush();
        records = captured.size();
        if (em.max_output && em.bytes_written > *em.max_output) std::abort();
        if (em.max_output && records > *em.max_output) std::abort();
        if (em.count_only && !captured.empty()) std::abort();
        if (em.max_value_bytes || em.max_output || em.count_only || em.color_on || !e.is_success()) return 0;
    }
    if (format == cli::OutputFormat::Plain || !parse_json_strict(doc)) return 0;
    std::string sink;
    if (format == cli::OutputFormat::Json) {
        if (!reformat_json("[" + captured + "]", JsonStyle::Compact, sink)) std::abort();
        return 0;
    }
    std::size_t pos = 0;
    while (pos < captured.size()) {
        std::size_t nl = captured.find('\n', pos);
        if (nl == std::string::npos) std::abort();
        if (!reformat_json(std::string_view(captured).substr(pos, nl - pos), JsonStyle::Compact, sink)) std::abort();
        pos = nl + 1;
    }
    (void)records;
    return 0;
}
