#include "tape_parser/settings.hpp"

#include <cstdlib>

#include "platform/utf8.hpp"

namespace tape_parser {

namespace {

std::optional<std::string_view> env_value(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string_view(v);
}

constexpr std::uint64_t kMiB = 1024 * 1024;

}  // namespace

std::optional<std::uint64_t> parse_setting_number(std::string_view text) {
    // ASCII-only text is valid UTF-8; anything else fails the digit test
    // anyway, but check explicitly so the rule reads as stated.
    if (!platform::is_valid_utf8(text)) return std::nullopt;
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<std::uint64_t> read_setting_number(const char* name) {
    auto v = env_value(name);
    if (!v) return std::nullopt;
    return parse_setting_number(*v);
}

bool parser_timings_from(std::optional<std::string_view> value) { return value.has_value(); }

bool prefault_from(std::optional<std::string_view> value) { return !(value && *value == "0"); }

std::uint64_t mib_setting_from(std::optional<std::string_view> value, std::uint64_t default_bytes) {
    if (!value) return default_bytes;
    auto n = parse_setting_number(*value);
    if (!n) return default_bytes;
    return *n * kMiB;  // modulo 2^64
}

// Function-local statics: initialised exactly once; concurrent first callers
// wait for the initialisation.
bool parser_timings_enabled() {
    static const bool v = parser_timings_from(env_value("QUELLMOR_PARSER_TIMINGS"));
    return v;
}

bool prefault_enabled() {
    static const bool v = prefault_from(env_value("QUELLMOR_PREFAULT"));
    return v;
}

std::uint64_t unbuffered_threshold_bytes() {
    static const std::uint64_t v = mib_setting_from(env_value("QUELLMOR_UNBUFFERED_MB"), kDefaultUnbufferedBytes);
    return v;
}

std::uint64_t mmap_threshold_bytes() {
    static const std::uint64_t v =
        mib_setting_from(env_value("QUELLMOR_MMAP_THRESHOLD_MB"), kDefaultMmapThresholdBytes);
    return v;
}

bool avx2_enabled() {
    static const bool v = true;
    return v;
}

}  // namespace tape_parser
