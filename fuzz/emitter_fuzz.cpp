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
        cli::EmitterSettings set;
        set.format = format;
        set.emit = static_cast<EmitMode>((a / 3) % 5);
        set.envelope = a & 0x40;
        set.raw = a & 0x80;
        if (b & 0x01) set.max_value_bytes = (b >> 4);
        if (b & 0x02) set.max_output = (b >> 2) * 3;
        set.count_only = (b & 0x0f) == 0x08;
        if (c & 1) {
            set.color_on = true;
            set.highlight = std::string((b & 0x08) ? "a" : "1");
        }
        cli::ResultEmitter em(w, set);
        if (b & 0x04) em.begin_file(std::string("f\xff.json"));

        SearchQuery q;
        q.term = (b & 0x08) ? "a" : "1";
        q.all_types = true;
        q.emit = set.emit;
        SearchError e = run_in_memory_search(doc, q, em);
        if (e.is_request_error()) std::abort();
        w.flush();
        records = captured.size();
        if (set.max_output && em.bytes_written() > *set.max_output) std::abort();
        if (set.max_output && records > *set.max_output) std::abort();
        if (set.count_only && !captured.empty()) std::abort();
        if (set.max_value_bytes || set.max_output || set.count_only || set.color_on || !e.is_success()) return 0;
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
