#include "tape_parser/streaming.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fault.hpp"
#include "platform/file_kind.hpp"
#include "platform/utf8.hpp"
#include "tape_parser/builder.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/prefault.hpp"
#include "tape_parser/settings.hpp"
#include "tape_parser/timings.hpp"

namespace tape_parser {

namespace {

using clock = std::chrono::steady_clock;

[[noreturn]] void defect(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::uint64_t elapsed_ns(clock::time_point since) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - since).count());
}

double elapsed_ms(clock::time_point since) {
    return std::chrono::duration<double, std::milli>(clock::now() - since).count();
}

constexpr const char* kSourceLabel = "chunked-file";

// One chunk's figures for the chunk performance table.
struct ChunkPerfRecord {
    std::uint64_t size_bytes = 0;
    std::uint64_t pool_wait_ns = 0;
    std::uint64_t read_ns = 0;
    std::uint64_t send_ns = 0;
    std::uint64_t recv_wait_ns = 0;
    std::uint64_t validate_ns = 0;  // never measured
    std::uint64_t install_ns = 0;
    std::uint64_t process_total_ns = 0;
};

// The records plus the three arrays that the reader thread fills; the driver
// reads the reader's entries only after joining it.
struct ChunkTimings {
    std::vector<ChunkPerfRecord> records;
    SharedTimes pool_wait_ns;
    SharedTimes read_ns;
    SharedTimes send_ns;
};

ChunkTimings build_chunk_table(std::uint64_t n, std::uint64_t chunk_size, std::uint64_t file_size) {
    ChunkTimings t;
    t.records.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t at = 0;
        const bool overflow = __builtin_mul_overflow(i, chunk_size, &at);
        t.records[i].size_bytes = (overflow || at >= file_size) ? 0 : std::min(chunk_size, file_size - at);
    }
    t.pool_wait_ns = std::make_shared<std::vector<std::uint64_t>>(n);
    t.read_ns = std::make_shared<std::vector<std::uint64_t>>(n);
    t.send_ns = std::make_shared<std::vector<std::uint64_t>>(n);
    return t;
}

struct ChunkSlot {
    std::optional<AlignedBuffer> buffer;
    std::uint64_t length = 0;
};

// The driver's state from the first chunk to the end. Members are released
// in reverse order of declaration: slot buffers first, then the channel ends
// (which lets a still-running reader stop), then the reader handle, which
// detaches a thread that was never joined.
struct ChunkStore {
    std::optional<ReaderThread> reader;
    ChunkTimings timings;
    // The handle mapped at the end when no reader thread does it: the
    // caller's, for a file of fewer than two chunks or one read here.
    platform::File file;
    // Where the chunks are read from on the driver's own thread, one at a
    // time as the parse needs them, when the reader thread cannot start.
    std::optional<ReadSource> own_reads;
    BufferGeometry geometry{};
    std::optional<AlignedBuffer> spare;  // a parsed chunk's buffer, for the next own read
    std::optional<ReadError> own_read_error;
    clock::time_point process_timer;
    std::uint64_t file_size = 0;
    std::uint64_t chunk_size = 0;
    std::uint64_t position = 0;
    std::uint64_t current_chunk = 0;
    std::uint64_t chunk_offset = 0;
    std::uint64_t next_index = 0;  // the chunk expected next from the channel
    std::optional<Sender<AlignedBuffer>> pool_out;
    std::optional<Receiver<FilledChunk>> chunks_in;
    std::vector<ChunkSlot> slots;
};

void install(ChunkStore& store, std::uint64_t i, FilledChunk&& c) {
    if (i >= store.slots.size()) defect("chunk index out of range");
    store.slots[i].buffer = std::move(c.buffer);
    store.slots[i].length = c.length;
}

// Reads chunk `index` into its slot on the driver's thread; a failed or
// short read leaves the slot empty and its error in the store.
void read_chunk_here(ChunkStore& store, std::uint64_t index) {
    const std::uint64_t at = index * store.chunk_size;
    const std::uint64_t want = std::min(store.chunk_size, store.file_size - at);
    AlignedBuffer buf =
        store.spare ? std::move(*store.spare) : AlignedBuffer(store.geometry.capacity, store.geometry.alignment);
    store.spare.reset();
    auto reading = clock::now();
    auto got = read_chunk_at(*store.own_reads, buf.data(), store.geometry.capacity, at, want);
    if (!got || got.value() != want) {
        store.own_read_error = got ? ReadError::eof("short read on chunk") : std::move(got.error());
        return;
    }
    (*store.timings.read_ns)[index] = elapsed_ns(reading);
    install(store, index, FilledChunk{index, std::move(buf), want});
}

// Afterwards slot `index` holds its chunk, unless the reader closed its
// channel before sending it or a read here failed.
void ensure_chunk_loaded(ChunkStore& store, std::uint64_t index) {
    if (index >= store.slots.size()) defect("chunk index out of range");
    if (store.slots[index].buffer) return;
    if (store.own_reads) {
        read_chunk_here(store, index);
        return;
    }
    if (!store.chunks_in || store.next_index > index) return;
    for (;;) {
        auto waited = clock::now();
        std::optional<FilledChunk> c = store.chunks_in->recv();
        const std::uint64_t wait = elapsed_ns(waited);
        if (!c) return;
        auto installing = clock::now();
        const std::uint64_t i = c->index;
        install(store, i, std::move(*c));
        store.next_index = i + 1;
        store.timings.records[i].recv_wait_ns = wait;
        store.timings.records[i].install_ns = elapsed_ns(installing);
        if (i >= index) return;
    }
}

// Gives a parsed chunk's buffer back to the reader without waiting; a buffer
// the pool cannot take is freed.
void recycle(ChunkStore& store, ChunkSlot& slot) {
    if (!slot.buffer) return;
    AlignedBuffer b = std::move(*slot.buffer);
    slot.buffer.reset();
    if (store.pool_out) {
        (void)store.pool_out->try_send(std::move(b));
    } else if (store.own_reads && !store.spare) {
        store.spare = std::move(b);
    }
}

// Set to valid UTF-8 text, whatever the text.
std::optional<std::string_view> env_text(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !platform::is_valid_utf8(v)) return std::nullopt;
    return std::string_view(v);
}

// About how many bytes of the file the page cache holds, from a few spread
// samples: asking about every page of a large file costs 20 ms per GiB.
std::optional<std::uint64_t> cached_estimate(const platform::File& file, std::uint64_t file_size) {
    constexpr std::uint64_t kSamples = 16;
    constexpr std::uint64_t kSample = 1 << 20;
    if (file_size <= kSamples * kSample) return platform::cached_bytes(file);
    const std::uint64_t stride = (file_size - kSample) / (kSamples - 1) / 4096 * 4096;
    std::uint64_t cached = 0;
    for (std::uint64_t i = 0; i < kSamples; ++i) {
        const auto c = platform::cached_bytes(file, i * stride, kSample);
        if (!c) return std::nullopt;
        cached += *c;
    }
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(cached) * file_size / (kSamples * kSample));
}

// The source chunks are read from: a second, unbuffered open of the caller's
// file when reads_unbuffered says so and the file system allows it, else the
// caller's own handle. Either way the same file: it is reopened through its
// descriptor, never by name.
ReadSource open_source(platform::File& file, std::uint64_t file_size, std::uint64_t chunk_size) {
    const std::uint64_t threshold = unbuffered_threshold_bytes();
    // The cache is asked only when the answer can matter.
    const auto cached = file_size >= threshold ? cached_estimate(file, file_size) : std::nullopt;
    if (reads_unbuffered(env_text("QUELLMOR_DISK_READ"), file_size, threshold, cached)) {
        auto f = platform::open_unbuffered("/proc/self/fd/" + std::to_string(file.fd()));
        if (f) {
            const std::uint64_t align = std::max<std::uint64_t>(platform::direct_io_alignment(f.value()), 1);
            // Direct reads start at chunk offsets, which must be aligned; a
            // refused open falls back to the cache without a message too.
            if ((align & (align - 1)) == 0 && chunk_size % align == 0) {
                return ReadSource{ReadSourceKind::Unbuffered, std::move(f.value()), align};
            }
        }
    }
    ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return ReadSource{ReadSourceKind::Buffered, std::move(file), 1};
}

ChunkParsedHook g_chunk_parsed_hook = nullptr;
void* g_chunk_parsed_context = nullptr;

std::string fmt(const char* format, auto... args) {
    char buf[256];
    int n = std::snprintf(buf, sizeof buf, format, args...);
    return std::string(buf, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

void print_chunk_perf(ChunkTimings& t) {
    const std::size_t n = t.records.size();
    for (std::size_t i = 0; i < n; ++i) {
        t.records[i].pool_wait_ns = (*t.pool_wait_ns)[i];
        t.records[i].read_ns = (*t.read_ns)[i];
        t.records[i].send_ns = (*t.send_ns)[i];
    }
    std::string out = "=== Chunk Perf Summary ===\n";
    out += "idx\tsize_mib\tread_ms\tsend_ms\trecv_wait_ms\tvalidate_ms\tprocess_total_ms\n";
    double sums[5] = {0, 0, 0, 0, 0};
    std::uint64_t rows = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const ChunkPerfRecord& r = t.records[i];
        if (r.size_bytes == 0) continue;
        const double ms[5] = {r.read_ns / 1e6, r.send_ns / 1e6, r.recv_wait_ns / 1e6, r.validate_ns / 1e6,
                              r.process_total_ns / 1e6};
        for (int k = 0; k < 5; ++k) sums[k] += ms[k];
        out += fmt("%zu\t%.2f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", i, r.size_bytes / 1048576.0, ms[0], ms[1], ms[2], ms[3],
                   ms[4]);
        ++rows;
    }
    if (rows > 0) {
        const double d = static_cast<double>(rows);
        out += "---\n";
        out += fmt("avg\t-\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", sums[0] / d, sums[1] / d, sums[2] / d, sums[3] / d,
                   sums[4] / d);
    }
    std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace

bool reads_unbuffered(std::optional<std::string_view> disk_read, std::uint64_t file_size, std::uint64_t threshold,
                      std::optional<std::uint64_t> cached_bytes) {
    if (disk_read) {
        if (platform::ascii_iequals(*disk_read, "unbuffered")) return true;
        if (platform::ascii_iequals(*disk_read, "buffered")) return false;
    }
    if (file_size < threshold) return false;
    // Reading around the cache spares it a large file read once; a file the
    // cache already holds is displaced by nothing, and direct reads of it
    // only go slower (a third of the cached speed on some virtual disks).
    return !cached_bytes || *cached_bytes < file_size - file_size / 8;
}

std::uint64_t chunk_size_for_len(std::uint64_t file_size) {
    constexpr std::uint64_t MiB = 1024 * 1024;
    if (file_size <= 100 * MiB) return 1 * MiB;
    if (file_size <= 200 * MiB) return 2 * MiB;
    if (file_size <= 400 * MiB) return 4 * MiB;
    if (file_size <= 800 * MiB) return 8 * MiB;
    return 16 * MiB;
}

StreamedTapeOutput parse_file_streaming(const std::string& path, platform::File file, std::uint64_t file_size) {
    return streaming_parse_driver(path, std::move(file), file_size, chunk_size_for_len(file_size));
}

void set_chunk_parsed_hook(ChunkParsedHook hook, void* context) {
    g_chunk_parsed_hook = hook;
    g_chunk_parsed_context = context;
}

namespace {

StreamedTapeOutput drive(platform::File file, std::uint64_t file_size, std::uint64_t chunk_size) {
    if (chunk_size == 0) defect("chunk size must be positive");
    // The first chunk holds a byte order mark whole, to be skipped there.
    chunk_size = std::max<std::uint64_t>(chunk_size, 3);
    // The map is read after the parse: it must show the bytes that were
    // parsed. The file's state before and after tells a file written
    // meanwhile.
    const auto before = platform::file_stamp(file);
    const auto started = clock::now();
    const bool report = parser_timings_enabled();
    ParseTimings timings{};
    timings.bytes = file_size;
    const std::uint64_t n = file_size / chunk_size + (file_size % chunk_size != 0 ? 1 : 0);

    ChunkStore store;
    store.file_size = file_size;
    store.chunk_size = chunk_size;
    store.timings = build_chunk_table(n, chunk_size, file_size);

    if (n >= 2) {
        ReadSource source = open_source(file, file_size, chunk_size);
        const std::uint64_t buffer_align = std::max<std::uint64_t>(4096, source.alignment);
        if (report) {
            std::fprintf(stderr, "[fast_read] strategy=%s buffer_align=%llu\n",
                         source.kind == ReadSourceKind::Unbuffered ? "unbuffered-dma" : "buffered",
                         static_cast<unsigned long long>(buffer_align));
        }
        const BufferGeometry geom = chunk_buffer_geometry(chunk_size, buffer_align);

        AlignedBuffer first(geom.capacity, geom.alignment);
        const std::uint64_t first_len = std::min(file_size, chunk_size);
        auto reading = clock::now();
        auto got = read_chunk_at(source, first.data(), geom.capacity, 0, first_len);
        if (!got) return platform::Err{"Failed to read file: " + got.error().message()};
        if (got.value() != first_len)
            return platform::Err{std::string("Failed to read file: short read on first chunk")};
        (*store.timings.read_ns)[0] = elapsed_ns(reading);

        store.slots.resize(n);
        store.slots[0].buffer = std::move(first);
        store.slots[0].length = first_len;

        auto [chunks_out, chunks_in] = make_channel<FilledChunk>(1);
        const std::uint64_t pool_size = std::min<std::uint64_t>(n - 1, 2);
        auto [pool_out, pool_in] = make_channel<AlignedBuffer>(pool_size);
        for (std::uint64_t i = 0; i < pool_size; ++i) {
            if (pool_out.try_send(AlignedBuffer(geom.capacity, geom.alignment))) {
                defect("buffer pool prefill cannot exceed channel capacity");
            }
        }

        ChunkReaderArgs args{std::move(source),
                             std::move(chunks_out),
                             std::move(pool_in),
                             store.timings.pool_wait_ns,
                             store.timings.read_ns,
                             store.timings.send_ns,
                             first_len,
                             file_size - first_len,
                             chunk_size,
                             n,
                             buffer_align,
                             std::move(file)};
        // A start that is refused leaves `args` as they were.
        store.reader = ReaderThread::spawn(std::move(args));
        if (store.reader->joinable()) {
            store.chunks_in = std::move(chunks_in);
            store.pool_out = std::move(pool_out);
        } else {
            // No thread to spare (a process limit, no memory for a stack):
            // the same chunks, read here as the parse reaches them.
            store.reader.reset();
            store.geometry = geom;
            store.file = std::move(args.map_from);
            store.own_reads = std::move(args.source);
        }
        store.next_index = 1;
    } else {
        // At most one chunk: read it through the caller's handle, no thread.
        std::uint64_t done = 0;
        for (std::uint64_t i = 0; done < file_size; ++i) {
            const std::uint64_t len = std::min(chunk_size, file_size - done);
            AlignedBuffer buf(std::max<std::uint64_t>(len, 4096), 4096);
            auto reading = clock::now();
            auto r = file.read_exact_at(done, {reinterpret_cast<std::byte*>(buf.data()), len});
            if (!r) return platform::Err{"Failed to read file: " + r.error().message()};
            (*store.timings.read_ns)[i] = elapsed_ns(reading);
            store.slots.push_back(ChunkSlot{std::move(buf), len});
            done += len;
        }
        store.file = std::move(file);
        store.next_index = n;
    }
    store.process_timer = clock::now();

    if (report) {
        std::fprintf(stderr, "[streaming_simd] file_size=%.2fMB, chunks=%llu, avx2=%s, source=%s\n",
                     static_cast<double>(file_size) / 1048576.0, static_cast<unsigned long long>(n),
                     avx2_enabled() ? "true" : "false", kSourceLabel);
    }

    Tape tape;
    tape.reserve_up_to(tape_capacity_from_len(file_size));
    ParseStats stats{};
    TapeBuilderState state;
    struct StateRelease {
        TapeBuilderState& s;
        ~StateRelease() { drop_parser_state(s); }
    } release_state{state};

    std::uint64_t start = 0;
    if (n > 0) {
        const ChunkSlot& s0 = store.slots[0];
        if (!s0.buffer) defect("first chunk freed");
        start = platform::utf8_bom_length(s0.buffer->data(), std::min<std::uint64_t>(s0.length, file_size));
    }

    std::uint64_t parsed = 0;
    TapeMemoryWatch watch;
    std::uint64_t freed_below = 0;  // slots below this index are already empty
    bool reader_stopped_early = false;
    store.position = start;
    while (store.position < file_size) {
        const std::uint64_t index = store.position / chunk_size;
        store.chunk_offset = store.position % chunk_size;
        if (index != store.current_chunk) {
            if (store.current_chunk < n) {
                store.timings.records[store.current_chunk].process_total_ns = elapsed_ns(store.process_timer);
            }
            store.process_timer = clock::now();
            store.current_chunk = index;
        }
        ensure_chunk_loaded(store, index);
        ChunkSlot& slot = store.slots[index];
        if (!slot.buffer) {
            // The reader ended before sending this chunk; its join says why.
            reader_stopped_early = true;
            break;
        }
        const std::uint64_t available = slot.length - store.chunk_offset;
        const std::uint64_t end = store.position + available;

        auto building = clock::now();
        auto built = build_tape_chunk(slot.buffer->data() + store.chunk_offset, available, store.position,
                                      end == file_size, state, tape, stats);
        // On failure the store's release closes the channels; the reader
        // then stops on its own and is not waited for.
        if (!built) return platform::Err{std::move(built.error())};
        timings.parsing_ms += elapsed_ms(building);

        if (index > 0) {
            for (; freed_below < index; ++freed_below) recycle(store, store.slots[freed_below]);
        }
        if (auto shortfall = watch.after_chunk(tape, start, end, file_size))
            return platform::Err{std::move(*shortfall)};
        ++parsed;
        store.position = end;
        if (g_chunk_parsed_hook) g_chunk_parsed_hook(index, g_chunk_parsed_context);
    }
    if (store.own_read_error) return platform::Err{"Background read error: " + store.own_read_error->message()};
    timings.chunks = parsed;
    // Every entry is written: whatever is still being populated is not needed.
    tape.stop_prefault();

    // The map: the reader closes its channel only after mapping, so draining
    // it doubles as waiting for the map.
    std::optional<MappedFile> mapped;
    if (store.reader) {
        Receiver<FilledChunk> rx = std::move(*store.chunks_in);
        store.chunks_in.reset();
        while (auto c = rx.recv()) {
            auto installing = clock::now();
            const std::uint64_t i = c->index;
            install(store, i, std::move(*c));
            store.timings.records[i].install_ns = elapsed_ns(installing);
        }
        rx.close();
        auto joined = store.reader->join();
        store.reader.reset();
        if (!joined) return platform::Err{"Background read error: " + joined.error().message()};
        mapped = std::move(joined.value());
    } else {
        // Read here through the caller's handle, which is then mapped.
        if (!store.file.is_open() && store.own_reads) store.file = std::move(store.own_reads->file);
        store.own_reads.reset();
        if (!store.file.is_open()) defect("the file must be open when no reader thread maps it");
        mapped = MappedFile{std::move(store.file), {}};
    }
    if (mapped->map.data() == nullptr) {
        // Not mapped yet, or refused for want of address space beside the
        // tape's up-front reservation: the tape gives back what it does not
        // hold (finishing adds at most a number that ends the input and the
        // wrapper of several top-level values) and the map is tried again.
        auto m = platform::MemoryMap::map_file(mapped->file);
        if (!m && m.error().code == ENOMEM) {
            tape.give_back_spare(2);
            m = platform::MemoryMap::map_file(mapped->file);
        }
        if (!m) return platform::Err{"Background read error: " + m.error().message()};
        mapped->map = std::move(m.value());
    }
    // Tape offsets reach up to the size that was read; a map that ends
    // before it (the file was cut or replaced before the reopen) would send
    // readers past its end.
    if (mapped->map.size() < file_size) {
        return platform::Err{std::string("Background read error: ") + platform::kFileShrankText};
    }
    if (!before || !platform::still_as_stamped(mapped->file, *before)) {
        return platform::Err{std::string("Background read error: ") + platform::kFileChangedText};
    }
    if (reader_stopped_early) {
        // Unreachable: a reader that ends without an error sends every chunk.
        // Never hand out a tape of part of the file.
        return platform::Err{std::string("Background read error: short read on chunk")};
    }

    timings.first_chunk_ms = n > 0 ? static_cast<double>((*store.timings.read_ns)[0]) / 1e6 : 0.0;
    std::uint64_t waited = 0;
    for (const ChunkPerfRecord& r : store.timings.records) waited += r.recv_wait_ns;
    timings.io_wait_ms = static_cast<double>(waited) / 1e6;
    timings.validate_ms = 0;

    if (env_text("QUELLMOR_CHUNK_PERF")) print_chunk_perf(store.timings);

    auto finished = finish_tape(state, file_size, tape, stats);
    if (!finished) return platform::Err{std::move(finished.error())};
    stats.tape_len = tape.size();
    if (report) print_parse_timings(timings, elapsed_ms(started), tape.size(), kSourceLabel);
    return StreamedTape{std::move(*mapped), std::move(tape), std::move(stats)};
}

}  // namespace

// The name only tells callers which file `file` is: everything is read
// through the handle.
StreamedTapeOutput streaming_parse_driver(const std::string& /*path*/, platform::File file, std::uint64_t file_size,
                                          std::uint64_t chunk_size) {
    // Memory that cannot be had fails this file, not the process.
    try {
        return drive(std::move(file), file_size, chunk_size);
    } catch (const std::bad_alloc&) {
        return platform::Err{platform::IoError{ENOMEM}.message()};
    }
}

}  // namespace tape_parser
