// The strict JSON reader and the compact and pretty writers used wherever a
// located value is printed re-formatted (`get`, the JSON envelope's "object"
// and "array" fields), and the JSON string escaper.
//
// Reading is strict: whitespace is space, tab, LF and CR; numbers follow the
// JSON grammar; strings reject raw control bytes, invalid escapes, lone or
// mismatched surrogates and invalid UTF-8; nothing but whitespace may follow
// the value; a container nested 128 deep is rejected. Objects keep the order
// in which keys first appear; a repeated key keeps that first position and
// takes the last value. Integers that fit u64 (or i64, negative) are kept
// exact; "-0", other integers and every number with a fraction or exponent
// become doubles, and a double that overflows fails the read.
//
// Writing: strings from their decoded text with \" \\ \b \f \n \r \t, other
// bytes below 0x20 as \u00xx, everything else raw; doubles in their shortest
// round-trip digits (100.0, 1.5, 0.00001, 1e-7, 1.8446744073709552e19, -0.0).
// Compact has no whitespace; pretty indents two spaces, one member or element
// per line, ": " after keys, [] and {} for empty containers.
//
// No recursion anywhere: the parsed value is a flat array of nodes, and both
// the reader and the writers use explicit stacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/result.hpp"

namespace rova_rudo {

enum class JsonStyle : std::uint8_t { Compact = 0, Pretty = 1 };

// Why strict reading failed: a fixed description and the offset of the byte
// where it was noticed.
struct JsonSyntaxError {
    std::uint64_t offset = 0;
    std::string_view what;
};

// One strictly parsed JSON value. Strings without escapes point into the text
// that was parsed, so that text must outlive the document.
class JsonDocument {
public:
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

    // One node: scalars take one, a container is followed by its subtree (for
    // objects, key and value alternate). 16 bytes.
    struct Node {
        std::uint64_t a = 0;  // string: offset; bool/number: value bits; container: index past its subtree
        std::uint64_t b = 0;  // flags and kind in the top 5 bits; string: length; container: member count
    };

    Kind root_kind() const;

private:
    friend class JsonStrictParser;
    friend class JsonDocWriter;

    std::string_view source_;
    std::string arena_;  // decoded text of strings that held escapes
    std::vector<Node> nodes_;
    // Key node of a repeated key's first occurrence -> node of the last value.
    std::unordered_map<std::uint64_t, std::uint64_t> redirect_;
};

platform::Result<JsonDocument, JsonSyntaxError> parse_json_strict(std::string_view text);

// Appends the document to `out`. With `drain`, it is called whenever `out`
// has grown past 64 KiB (the callee empties it) so a large value need not be
// held whole; the rest stays in `out`. `stop` is asked after each drain: when
// it says yes (the drain's reader is gone) the writing ends there.
void write_json(const JsonDocument& doc, JsonStyle style, std::string& out,
                const std::function<void(std::string&)>& drain = {}, const std::function<bool()>& stop = {});

// Parses `text` strictly and appends it in `style`; false (and `out` as it
// was) when the text is not strict JSON. The same output as parse_json_strict
// and write_json, but the text is checked first and then written straight
// from its bytes, without a document, unless an object repeats a key.
// `drain` and `stop` as for write_json.
[[nodiscard]] bool reformat_json(std::string_view text, JsonStyle style, std::string& out,
                                 const std::function<void(std::string&)>& drain = {},
                                 const std::function<bool()>& stop = {});

// reformat_json on `threads` threads: a text that is one large array of
// records is checked in rounds of slices of about `check_slice` bytes, and
// then written in rounds of slices of about `write_slice` bytes (each
// slice's written text is held until its turn), with the same output and
// result. `file_map`: where the read-only map of a file that `text` lies in
// starts (null: none); the slices give back its pages as they pass them (so
// that a large document is never resident whole), and a text read whole in
// turn has them mapped first.
[[nodiscard]] bool reformat_json_given(std::string_view text, JsonStyle style, std::string& out,
                                       const std::function<void(std::string&)>& drain,
                                       const std::function<bool()>& stop, unsigned threads, std::size_t check_slice,
                                       std::size_t write_slice, const void* file_map = nullptr);

// Appends `text` (decoded bytes) as a quoted, escaped JSON string.
void write_json_string(std::string& out, std::string_view text);

// Appends a finite double in the writers' layout.
void write_json_double(std::string& out, double v);

}  // namespace rova_rudo
