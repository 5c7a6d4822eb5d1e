#include "tape_parser/parse.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <utility>

#include "platform/io.hpp"
#include "platform/system.hpp"
#include "platform/utf8.hpp"
#include "tape_parser/builder.hpp"
#include "tape_parser/prefault.hpp"
#include "tape_parser/settings.hpp"
#include "tape_parser/timings.hpp"

namespace tape_parser {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

TapeParseOutput parse_chunks(Tape tape, const std::uint8_t* data, std::size_t len, std::uint64_t chunk_size,
                             double read_ms);

}  // namespace

TapeParseOutput parse_buffer_chunked(const std::uint8_t* data, std::size_t len, std::uint64_t chunk_size,
                                     double read_ms) {
    return parse_buffer_chunked_into(Tape(), data, len, chunk_size, read_ms);
}

TapeParseOutput parse_buffer_chunked_into(Tape reuse, const std::uint8_t* data, std::size_t len,
                                          std::uint64_t chunk_size, double read_ms) {
    // Memory that cannot be had (the container stack of a deep document)
    // fails this input, not the process.
    try {
        return parse_chunks(std::move(reuse), data, len, chunk_size, read_ms);
    } catch (const std::bad_alloc&) {
        return platform::Err{platform::IoError{ENOMEM}.message()};
    }
}

namespace {

// The injected figure: UINT64_MAX when none, so that the check reads one word.
std::atomic<std::uint64_t> g_available_for_tests{UINT64_MAX};

}  // namespace

std::optional<std::string> tape_memory_shortfall(const Tape& tape, std::uint64_t estimated_entries) {
    if (estimated_entries <= tape.size()) return std::nullopt;
    const std::uint64_t injected = g_available_for_tests.load(std::memory_order_relaxed);
    const auto available =
        injected != UINT64_MAX ? std::optional<std::uint64_t>(injected) : platform::available_memory();
    if (!available) return std::nullopt;
    const unsigned __int128 need = static_cast<unsigned __int128>(estimated_entries - tape.size()) * sizeof(TapeEntry);
    if (need <= *available) return std::nullopt;
    const std::uint64_t total =
        estimated_entries > UINT64_MAX / sizeof(TapeEntry) ? UINT64_MAX : estimated_entries * sizeof(TapeEntry);
    return "too large for memory: its tape needs about " + std::to_string(total) + " bytes and " +
           std::to_string(*available) + " are available";
}

std::optional<std::string> TapeMemoryWatch::after_chunk(Tape& tape, std::uint64_t start, std::uint64_t parsed,
                                                        std::uint64_t total) {
    if (parsed >= total || parsed <= start) return std::nullopt;  // the last chunk: nothing more will grow
    if (estimated_ && tape.size() <= estimate_) return std::nullopt;
    const unsigned __int128 est = static_cast<unsigned __int128>(total) * tape.size() / (parsed - start);
    std::uint64_t entries = est > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(est);
    if (auto shortfall = tape_memory_shortfall(tape, entries)) return shortfall;
    if (!estimated_) prefault_tape_capacity(tape, entries);
    estimated_ = true;
    // At least an eighth past what is there, so that a tape growing just past
    // each new estimate is checked a few dozen times at most.
    estimate_ = std::max(entries, tape.size() + tape.size() / 8);
    return std::nullopt;
}

void set_available_memory_for_tests(std::optional<std::uint64_t> bytes) {
    g_available_for_tests.store(bytes ? *bytes : UINT64_MAX, std::memory_order_relaxed);
}

std::uint64_t tape_capacity_from_len(std::uint64_t len) {
    auto div = read_setting_number("QUELLMOR_TAPE_RESERVE_DIV");
    const std::uint64_t d = div && *div != 0 ? *div : 8;
    return len / d;
}

namespace {

TapeParseOutput parse_chunks(Tape tape, const std::uint8_t* data, std::size_t len, std::uint64_t chunk_size,
                             double read_ms) {
    const auto t0 = Clock::now();
    ParsedTape out;
    out.tape = std::move(tape);
    out.tape.clear();
    ParseTimings timings;
    timings.first_chunk_ms = read_ms;
    timings.bytes = len;

    out.tape.reserve_up_to(static_cast<std::size_t>(tape_capacity_from_len(len)));
    TapeBuilderState state;

    // A chunk size of 0 would never advance: take the buffer as one chunk.
    if (chunk_size == 0) chunk_size = len;
    const std::size_t start = platform::utf8_bom_length(data, len);
    TapeMemoryWatch watch;
    for (std::size_t pos = start; pos < len;) {
        const std::size_t rest = len - pos;
        const bool is_last = chunk_size >= rest;
        const std::size_t end = is_last ? len : pos + static_cast<std::size_t>(chunk_size);
        const auto c0 = Clock::now();
        auto r = build_tape_chunk(data + pos, end - pos, pos, is_last, state, out.tape, out.stats);
        if (!r) {
            drop_parser_state(state);
            return platform::Err{std::move(r).error()};
        }
        timings.parsing_ms += ms_since(c0);
        ++timings.chunks;
        if (auto shortfall = watch.after_chunk(out.tape, start, end, len)) {
            drop_parser_state(state);
            return platform::Err{std::move(*shortfall)};
        }
        pos = end;
    }
    // Every entry is written: whatever is still being populated is not needed.
    out.tape.stop_prefault();
    auto f = finish_tape(state, len, out.tape, out.stats);
    drop_parser_state(state);
    if (!f) return platform::Err{std::move(f).error()};
    out.stats.tape_len = out.tape.size();
    if (parser_timings_enabled()) print_parse_timings(timings, read_ms + ms_since(t0), out.tape.size(), "file-read");
    return out;
}

}  // namespace

}  // namespace tape_parser
