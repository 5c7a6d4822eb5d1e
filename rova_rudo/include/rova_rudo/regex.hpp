// Every regular expression a user writes (a `--regex` search text, a
// `matches` clause of a predicate) is compiled here. Users are promised
// Unicode-mode semantics: \w \d \s and their complements are the Unicode
// classes, \u{...} style escapes, verbose mode (?x), class set operations and
// nested classes, counted repetitions past 1000, Unicode properties by any of
// their names, classes and . that match well-formed UTF-8 only, and nesting
// up to 250 deep. RE2 (linear time) stays the engine: a translation step
// rewrites the pattern into the RE2 pattern that means the same, or refuses
// what the promised syntax refuses (\Q..\E, octal escapes, \C) instead of
// letting RE2 read it its own way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace re2 {
class RE2;
}

namespace rova_rudo {

// Every expression a search compiles gets this memory budget: about the
// 10 MiB program limit plus the lazy-DFA cache that users are told patterns
// get. An expression beyond it fails with kRegexTooLargeMessage.
inline constexpr std::int64_t kRegexMemoryBudget = 12 << 20;
inline constexpr const char* kRegexTooLargeMessage = "Compiled regex exceeds size limit of 10485760 bytes.";

struct RegexOptions {
    bool case_insensitive = false;
    bool multi_line = false;
    bool dot_nl = false;
};

// The RE2 pattern for a user's pattern, or the error text that refuses it.
// Syntax errors that RE2 itself reports are left in the output for RE2 to
// find. `for_message` writes \w \d \s and their complements as RE2 spells
// them (ASCII), keeping the pattern short where an RE2 error text quotes it.
platform::Result<std::string, std::string> translate_regex(std::string_view pattern, const RegexOptions& opt,
                                                           bool for_message = false);

// A compiled program is immutable and RE2 matches from any thread with it,
// so every holder of one expression shares it.
struct CompiledRegex {
    std::shared_ptr<const re2::RE2> re;
    std::string pattern;  // as handed to RE2, for compile_translated
};

// Translates and compiles a user's pattern; the error is the text users see
// after the "regex compile error" prefix.
platform::Result<CompiledRegex, std::string> compile_regex(std::string_view pattern, const RegexOptions& opt);

// compile_regex, answered from the last few patterns compiled in this
// process: a search checks its expressions before it opens any input, and
// each input's engine then asks for the same ones again.
platform::Result<CompiledRegex, std::string> shared_regex(std::string_view pattern, const RegexOptions& opt);

// Compiles an RE2 pattern as is (a translation's output, or a pattern built
// by the program) with the options every search expression gets.
std::unique_ptr<re2::RE2> compile_translated(const std::string& pattern, const RegexOptions& opt);

// compile_translated, shared as shared_regex is: the RE2 error is in the
// program's error().
std::shared_ptr<const re2::RE2> shared_translated(const std::string& pattern, const RegexOptions& opt);

}  // namespace rova_rudo
