// Throughput of the whole-buffer tape parse beside the DOM parse of the same
// bytes by simdjson, measured in the same run, on every document of a
// directory and on any extra files named (e.g. a 256 MiB document written by
// the corpus generator under /tmp).
//
//   parse_bench [--runs N] [--dir DIR] [FILE...]
//
// Prints, per document: size, median GB/s of the tape parse, of the chunk
// builder alone on a tape already touched ("builder"), what fresh memory
// adds to the parse ("fresh": the two medians' difference, in seconds per GiB
// of input, so that a slow first touch is never mistaken for a slow
// builder), of simdjson with a reused parser ("simd") and with a fresh
// parser per run ("simd-new"), and the ratios builder / simd, tape / simd
// and tape / simd-new. Inputs are read into memory first; reading is not
// timed.
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tape_parser/builder.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/streaming.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Row {
    std::string name;
    std::size_t bytes;
    double tape_gbps, simd_gbps, simd_fresh_gbps, builder_gbps;
    double fresh_s_per_gib;  // tape parse minus builder on touched memory
};

// The chunk builder and finish step alone, on a tape whose storage is
// already allocated and touched: the parse without its page faults.
double builder_only_seconds(const std::string& doc, std::uint64_t chunk) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(doc.data());
    tape_parser::Tape tape;
    if (!tape.reserve(tape_parser::tape_capacity_from_len(doc.size()) + 16)) return -1;
    std::memset(static_cast<void*>(tape.data()), 0, tape.capacity() * sizeof(tape_parser::TapeEntry));
    tape_parser::TapeBuilderState st;
    tape_parser::ParseStats stats;
    const auto t0 = Clock::now();
    for (std::size_t pos = doc.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; pos < doc.size();) {
        const std::size_t n = std::min<std::size_t>(chunk, doc.size() - pos);
        if (!tape_parser::build_tape_chunk(d + pos, n, pos, pos + n == doc.size(), st, tape, stats)) return -1;
        pos += n;
    }
    if (!tape_parser::finish_tape(st, doc.size(), tape, stats)) return -1;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One simdjson DOM parse; JSON Lines documents are several values, which
// its DOM reads with parse_many. Returns false on failure.
bool simd_parse(simdjson::dom::parser& parser, const simdjson::padded_string& padded, bool many) {
    if (many) {
        simdjson::dom::document_stream stream;
        if (parser.parse_many(padded).get(stream) != simdjson::SUCCESS) return false;
        std::size_t n = 0;
        for (auto e : stream) n += e.error() == simdjson::SUCCESS;
        return n > 0;
    }
    simdjson::dom::element el;
    return parser.parse(padded).get(el) == simdjson::SUCCESS;
}

Row bench_one(const std::string& name, const std::string& doc, int runs) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(doc.data());
    const std::uint64_t chunk = tape_parser::chunk_size_for_len(doc.size());
    std::vector<double> tape_s, simd_s, builder_s;
    std::size_t entries = 0;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        auto r = tape_parser::parse_buffer_chunked(d, doc.size(), chunk, 0.0);
        const auto t1 = Clock::now();
        if (!r) {
            std::fprintf(stderr, "%s: tape parse failed: %s\n", name.c_str(), r.error().c_str());
            break;
        }
        entries = r->tape.size();
        tape_s.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    for (int i = 0; i < runs; ++i) {
        const double t = builder_only_seconds(doc, chunk);
        if (t < 0) break;
        builder_s.push_back(t);
    }
    // simdjson needs padding after the bytes; copy once, outside the timing.
    // Measured twice: with one parser reused across runs (its memory already
    // allocated and touched, as a long-lived program uses it), and with a
    // fresh parser per run, which pays for its memory as the tape parse does.
    simdjson::padded_string padded(doc);
    const bool many = name.size() > 7 && name.compare(name.size() - 7, 7, ".ndjson") == 0;
    simdjson::dom::parser parser;
    std::vector<double> fresh_s;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        simdjson::dom::parser p2;
        const bool ok = simd_parse(p2, padded, many);
        const auto t1 = Clock::now();
        if (!ok) {
            std::fprintf(stderr, "%s: simdjson parse failed\n", name.c_str());
            break;
        }
        fresh_s.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    (void)simd_parse(parser, padded, many);  // allocate and touch its memory once
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        const bool ok = simd_parse(parser, padded, many);
        const auto t1 = Clock::now();
        if (!ok) break;
        simd_s.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    (void)entries;
    const double gb = static_cast<double>(doc.size()) / 1e9;
    const double gib = static_cast<double>(doc.size()) / (1u << 30);
    const double fresh = tape_s.empty() || builder_s.empty() ? 0 : (median(tape_s) - median(builder_s)) / gib;
    return {name,
            doc.size(),
            tape_s.empty() ? 0 : gb / median(tape_s),
            simd_s.empty() ? 0 : gb / median(simd_s),
            fresh_s.empty() ? 0 : gb / median(fresh_s),
            builder_s.empty() ? 0 : gb / median(builder_s),
            fresh};
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::string dir = QM_TESTDATA_DIR "/real";
    std::vector<std::string> extra;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) dir = argv[++i];
        else extra.push_back(argv[i]);
    }
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& x : extra) files.emplace_back(x);

    std::printf("GB/s of input; fresh: seconds per GiB that fresh memory adds to the tape parse\n");
    std::printf("%-38s %11s %9s %9s %9s %9s %9s %7s %7s %7s\n", "document", "bytes", "tape", "builder", "fresh", "simd",
                "simd-new", "b/simd", "ratio", "r-new");
    for (const auto& f : files) {
        const std::string doc = read_file(f);
        if (doc.empty()) continue;
        const Row r = bench_one(f.filename().string(), doc, runs);
        std::printf("%-38s %11zu %9.3f %9.3f %9.3f %9.3f %9.3f %7.3f %7.3f %7.3f\n", r.name.c_str(), r.bytes,
                    r.tape_gbps, r.builder_gbps, r.fresh_s_per_gib, r.simd_gbps, r.simd_fresh_gbps,
                    r.simd_gbps > 0 ? r.builder_gbps / r.simd_gbps : 0.0,
                    r.simd_gbps > 0 ? r.tape_gbps / r.simd_gbps : 0.0,
                    r.simd_fresh_gbps > 0 ? r.tape_gbps / r.simd_fresh_gbps : 0.0);
    }
    return 0;
}
