// The tape parser's tuning: QUELLMOR_ environment variables. Four are read on
// first use and kept for the life of the process (computed exactly once, even
// when several threads ask at the same time; later changes of the
// environment have no effect). The others are read at each use.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tape_parser {

// QUELLMOR_PARSER_TIMINGS: on when the variable exists, whatever its value.
bool parser_timings_enabled();
// QUELLMOR_PREFAULT: off only when exactly "0".
bool prefault_enabled();
// QUELLMOR_UNBUFFERED_MB in bytes (default 256 MiB): the streaming parse
// reads files at least this large around the page cache.
std::uint64_t unbuffered_threshold_bytes();
// QUELLMOR_MMAP_THRESHOLD_MB in bytes (default 50 MiB): the tape search
// streams files at least this large instead of reading them whole.
std::uint64_t mmap_threshold_bytes();
// Whether the builder uses 32-byte vector compares: always, the build
// requires AVX2.
bool avx2_enabled();

// The rule for numeric variables: valid UTF-8, an optional single '+', then
// one or more ASCII digits and nothing else, fitting in 64 bits.
[[nodiscard]] std::optional<std::uint64_t> parse_setting_number(std::string_view text);
// The variable `name` read now and put through that rule; nullopt when unset.
[[nodiscard]] std::optional<std::uint64_t> read_setting_number(const char* name);

// How each once-per-process value follows from the variable's raw bytes
// (nullopt = unset); exposed so the rules can be checked without the cache.
bool parser_timings_from(std::optional<std::string_view> value);
bool prefault_from(std::optional<std::string_view> value);
// A MiB count in bytes (times 1,048,576, modulo 2^64), or `default_bytes`.
std::uint64_t mib_setting_from(std::optional<std::string_view> value, std::uint64_t default_bytes);

inline constexpr std::uint64_t kDefaultUnbufferedBytes = 256ull * 1024 * 1024;
inline constexpr std::uint64_t kDefaultMmapThresholdBytes = 50ull * 1024 * 1024;

}  // namespace tape_parser
