// Streaming tape parse of a file: the same tape as the whole-buffer parse,
// built from fixed-size chunks that a background reader thread reads ahead,
// so that file data in memory stays at about three chunk buffers. The result
// carries a read-only map of the whole file for reading the bytes that tape
// offsets point at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/io.hpp"
#include "platform/result.hpp"
#include "tape_parser/fast_read.hpp"
#include "tape_parser/tape.hpp"

namespace tape_parser {

// Chunk size for a file (or buffer) of `file_size` bytes: 1 MiB up to
// 100 MiB, 2 MiB up to 200 MiB, 4 MiB up to 400 MiB, 8 MiB up to 800 MiB,
// 16 MiB above; every bound inclusive.
std::uint64_t chunk_size_for_len(std::uint64_t file_size);

// Whether chunks are read around the page cache. `disk_read` is
// QUELLMOR_DISK_READ's text (nullopt when unset or not valid UTF-8): the word
// "unbuffered" or "buffered" in any letter case decides. Otherwise a file of
// at least `threshold` bytes is read around the cache, unless the cache holds
// at least seven eighths of it already (`cached_bytes`, nullopt when unknown;
// the driver samples sixteen spread MiB of a larger file).
bool reads_unbuffered(std::optional<std::string_view> disk_read, std::uint64_t file_size, std::uint64_t threshold,
                      std::optional<std::uint64_t> cached_bytes);

// A successful streamed parse. The caller owns all three; `mapped` keeps the
// file open for as long as the map lives.
struct StreamedTape {
    MappedFile mapped;
    Tape tape;
    ParseStats stats;
};

// The tape, its statistics and the map, or the failure text (a builder or
// finishing message unchanged, or "Failed to read file: ..." /
// "Background read error: ..." for I/O). A failure releases everything.
using StreamedTapeOutput = platform::Result<StreamedTape, std::string>;

// Parses the file at `path`. `file` is the caller's freshly opened handle
// (the parse takes it over: it reads through it, or through a second,
// unbuffered open of the same file, and maps it at the end; the name is never
// opened again); `file_size` comes from that handle's metadata. A file whose
// size or times differ at the end from the start was written meanwhile: that
// fails with "Background read error: file changed while it was being read". Reads the environment on every call:
// QUELLMOR_DISK_READ (see reads_unbuffered) and QUELLMOR_CHUNK_PERF (a per-chunk table on stderr).
StreamedTapeOutput parse_file_streaming(const std::string& path, platform::File file, std::uint64_t file_size);

// Test hook: when set, called on the driver's thread after each chunk is
// parsed, with the chunk's index (so a test can change the file at a chosen
// point). Null by default.
using ChunkParsedHook = void (*)(std::uint64_t index, void* context);
void set_chunk_parsed_hook(ChunkParsedHook hook, void* context);

// parse_file_streaming with a given chunk size (positive; below 3 bytes it
// is taken as 3, so that a byte order mark is never cut). Unbuffered reads
// need chunk offsets aligned to the device; a chunk size that is not a
// multiple of that alignment reads through the cache instead.
StreamedTapeOutput streaming_parse_driver(const std::string& path, platform::File file, std::uint64_t file_size,
                                          std::uint64_t chunk_size);

}  // namespace tape_parser
