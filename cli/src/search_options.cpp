#include "cli/search_options.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "cli/file_arg.hpp"
#include "platform/utf8.hpp"

namespace cli {

namespace {

using rova_rudo::EmitMode;
using rova_rudo::TypeFilter;

// Length in bytes of a Unicode White_Space character at the start of `s`, or 0.
std::size_t white_space_at(std::string_view s) {
    if (s.empty()) return 0;
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (s.size() >= 2 && c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (s.size() >= 3) {
        std::uint32_t cp = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
        if ((c & 0xF0) == 0xE0 && (b(1) & 0xC0) == 0x80 && (b(2) & 0xC0) == 0x80 &&
            (cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
             cp == 0x205F || cp == 0x3000))
            return 3;
    }
    return 0;
}

std::string_view trim_white_space(std::string_view s) {
    while (std::size_t n = white_space_at(s)) s.remove_prefix(n);
    // From the end: try the three possible character lengths.
    for (bool again = true; again && !s.empty();) {
        again = false;
        for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
            if (white_space_at(s.substr(s.size() - n)) == n) {
                s.remove_suffix(n);
                again = true;
                break;
            }
        }
    }
    return s;
}

enum class Flag {
    Regex,
    CaseSensitive,
    KeysOnly,
    ValuesOnly,
    Key,
    Value,
    AllTypes,
    Type,
    Path,
    Where,
    Exists,
    Missing,
    Emit,
    Limit,
    MaxResults,
    First,
    Count,
    MaxValueBytes,
    MaxOutput,
    Ai,
    Envelope,
    Raw,
    Format,
    Color,
    NoColor,
    Ndjson,
    Help,
};

struct FlagInfo {
    std::string_view long_name;
    std::string_view short_name;
    bool takes_value;
    Flag flag;
};

constexpr std::array<FlagInfo, 28> kFlags{{
    {"--regex", "-r", false, Flag::Regex},
    {"--case-sensitive", "-S", false, Flag::CaseSensitive},
    {"--keys-only", "", false, Flag::KeysOnly},
    {"--values-only", "", false, Flag::ValuesOnly},
    {"--key", "", true, Flag::Key},
    {"--value", "", true, Flag::Value},
    {"--all-types", "", false, Flag::AllTypes},
    {"--type", "-t", true, Flag::Type},
    {"--path", "-p", true, Flag::Path},
    {"--where", "-e", true, Flag::Where},
    {"--exists", "", true, Flag::Exists},
    {"--missing", "", true, Flag::Missing},
    {"--emit", "", true, Flag::Emit},
    {"--limit", "-n", true, Flag::Limit},
    {"--max-results", "", true, Flag::MaxResults},
    {"--first", "-1", false, Flag::First},
    {"--count", "-c", false, Flag::Count},
    {"--max-value-bytes", "", true, Flag::MaxValueBytes},
    {"--max-output", "", true, Flag::MaxOutput},
    {"--ai", "", false, Flag::Ai},
    {"--envelope", "", false, Flag::Envelope},
    {"--raw", "", false, Flag::Raw},
    {"--format", "-f", true, Flag::Format},
    {"--color", "", true, Flag::Color},
    {"--no-color", "", false, Flag::NoColor},
    {"--ndjson", "", false, Flag::Ndjson},
    {"--jsonl-in", "", false, Flag::Ndjson},
    {"--help", "-h", false, Flag::Help},
}};

const FlagInfo* find_flag(std::string_view name) {
    for (const FlagInfo& f : kFlags)
        if (name == f.long_name || (!f.short_name.empty() && name == f.short_name)) return &f;
    return nullptr;
}

platform::Result<TypeFilter, std::string> parse_type(const std::string& v) {
    std::string l = platform::ascii_lowered(v);
    if (l == "str" || l == "string") return TypeFilter::String;
    if (l == "num" || l == "number") return TypeFilter::Number;
    if (l == "bool" || l == "boolean") return TypeFilter::Boolean;
    if (l == "null") return TypeFilter::Null;
    if (l == "array" || l == "object")
        return platform::Err{"--type " + v +
                             ": object/array filters are not supported yet (use --emit object instead)"};
    return platform::Err{"--type: unknown kind '" + l + "' (expected: string|number|boolean|null)"};
}

platform::Result<EmitMode, std::string> parse_emit(const std::string& v) {
    if (v == "path") return EmitMode::Path;
    if (v == "value") return EmitMode::Value;
    if (v == "assignment") return EmitMode::Assignment;
    if (v == "object") return EmitMode::Object;
    if (v == "parent") return EmitMode::Parent;
    return platform::Err{"--emit: unknown mode '" + v + "'"};
}

platform::Result<OutputFormat, std::string> parse_format(const std::string& v) {
    if (v == "plain") return OutputFormat::Plain;
    if (v == "jsonl") return OutputFormat::JsonLines;
    if (v == "json") return OutputFormat::Json;
    return platform::Err{"--format: unknown value '" + v + "'"};
}

platform::Result<ColorMode, std::string> parse_color(const std::string& v) {
    if (v == "auto") return ColorMode::Auto;
    if (v == "always") return ColorMode::Always;
    if (v == "never") return ColorMode::Never;
    return platform::Err{"--color: unknown value '" + v + "'"};
}

platform::Result<std::uint64_t, std::string> count_for(std::string_view prefix, const std::string& v) {
    if (auto n = parse_count(v)) return *n;
    return platform::Err{std::string(prefix) + ": '" + v + "' is not a non-negative integer"};
}

// Applies one flag; `v` is its value for flags that take one.
platform::Result<platform::Unit, std::string> apply(SearchOptions& o, Flag f, const std::string& v) {
    switch (f) {
        case Flag::Regex: o.regex = true; break;
        case Flag::CaseSensitive: o.case_sensitive = true; break;
        case Flag::KeysOnly: o.keys_only = true; break;
        case Flag::ValuesOnly: o.values_only = true; break;
        case Flag::Key: o.key = v; break;
        case Flag::Value: o.value = v; break;
        case Flag::AllTypes: o.all_types = true; break;
        case Flag::Type: {
            auto t = parse_type(v);
            if (!t) return platform::Err{std::move(t.error())};
            o.type_filter = *t;
            break;
        }
        case Flag::Path: o.path = v; break;
        case Flag::Where: o.where = v; break;
        case Flag::Exists: o.exists = v; break;
        case Flag::Missing: o.missing = v; break;
        case Flag::Emit: {
            auto e = parse_emit(v);
            if (!e) return platform::Err{std::move(e.error())};
            o.emit = *e;
            break;
        }
        case Flag::Limit:
        case Flag::MaxResults:
        case Flag::MaxValueBytes: {
            std::string_view prefix = f == Flag::Limit        ? "--limit"
                                      : f == Flag::MaxResults ? "--max-results"
                                                              : "--max-value-bytes";
            auto n = count_for(prefix, v);
            if (!n) return platform::Err{std::move(n.error())};
            (f == Flag::MaxValueBytes ? o.max_value_bytes : o.limit) = *n;
            break;
        }
        case Flag::First: o.limit = 1; break;
        case Flag::Count: o.count = true; break;
        case Flag::MaxOutput: {
            auto n = parse_byte_count(v);
            if (!n) return platform::Err{std::move(n.error())};
            o.max_output = *n;
            break;
        }
        case Flag::Ai:
            if (o.format == OutputFormat::Plain) o.format = OutputFormat::JsonLines;
            o.envelope = true;
            if (!o.max_output) o.max_output = 1048576;
            if (!o.max_value_bytes) o.max_value_bytes = 256;
            break;
        case Flag::Envelope: o.envelope = true; break;
        case Flag::Raw: o.raw = true; break;
        case Flag::Format: {
            auto fm = parse_format(v);
            if (!fm) return platform::Err{std::move(fm.error())};
            o.format = *fm;
            break;
        }
        case Flag::Color: {
            auto c = parse_color(v);
            if (!c) return platform::Err{std::move(c.error())};
            o.color = *c;
            break;
        }
        case Flag::NoColor: o.color = ColorMode::Never; break;
        case Flag::Ndjson: o.jsonl_in = true; break;
        case Flag::Help: break;
    }
    return platform::Unit{};
}

platform::Result<platform::Unit, std::string> assign_positionals(SearchOptions& o,
                                                                 const std::vector<std::string>& pos) {
    const bool kv = o.key || o.value;
    const bool presence = o.exists || o.missing;
    const bool other_query = o.where || o.type_filter != TypeFilter::None || o.path || o.emit != EmitMode::Path;
    // Every argument from `first_file` on is a file, as a shell lists the
    // names a glob expanded to.
    auto take_files = [&](std::size_t first_file) {
        if (first_file < pos.size()) o.file = pos[first_file];
        for (std::size_t i = first_file + 1; i < pos.size(); ++i) o.more_files.push_back(pos[i]);
    };
    if (kv || presence) {
        // Presence tests one document; a key/value search takes several files,
        // but a first argument that does not look like one is a stray term.
        if (pos.size() >= 2 && (presence || !looks_like_file_arg(pos[0])))
            return platform::Err{"unexpected positional argument '" + pos[1] +
                                 "' (--key/--value/--exists/--missing take no <term>)"};
        take_files(0);
    } else if (other_query && !pos.empty() && std::all_of(pos.begin(), pos.end(), looks_like_file_arg)) {
        // A query of its own (--where, --type, --path, --emit) needs no
        // term: arguments that all look like files are all files.
        take_files(0);
    } else {
        if (auto hint = argument_order_hint("search", pos, "pattern")) return platform::Err{std::move(*hint)};
        if (pos.size() >= 1) o.term = pos[0];
        take_files(1);
    }
    if (!o.file) o.file = "-";
    return platform::Unit{};
}

std::optional<std::string> check_combinations(const SearchOptions& o) {
    const bool kv = o.key || o.value;
    const bool presence = o.exists || o.missing;
    const bool other_query = o.where || o.type_filter != TypeFilter::None || o.path || o.emit != EmitMode::Path;
    if (o.keys_only && o.values_only) return "--keys-only and --values-only are mutually exclusive";
    if (kv && (o.keys_only || o.values_only)) return "--keys-only/--values-only cannot be combined with --key/--value";
    if (o.exists && o.missing) return "--exists and --missing are mutually exclusive";
    if (presence && (o.term || kv || o.where || o.path))
        return "--exists/--missing cannot be combined with <term>, --key/--value, --where, or --path";
    if (!presence && !o.term && !kv && !other_query)
        return "missing search term (provide <term>, --key/--value, --type, --where, --path, --emit, --exists, or "
               "--missing)";
    return std::nullopt;
}

}  // namespace

bool search_flag_takes_value(std::string_view arg) {
    const FlagInfo* f = find_flag(arg);
    return f != nullptr && f->takes_value;
}

platform::Result<std::uint64_t, std::string> parse_byte_count(std::string_view text) {
    std::string_view t = trim_white_space(text);
    if (t.empty()) return platform::Err{std::string("empty byte count")};
    std::uint64_t mult = 1;
    std::string_view digits = t;
    switch (t.back()) {
        case 'K':
        case 'k': mult = 1024; break;
        case 'M':
        case 'm': mult = 1048576; break;
        case 'G':
        case 'g': mult = 1073741824; break;
        default: break;
    }
    if (mult != 1) digits.remove_suffix(1);
    auto n = parse_count(digits);
    if (!n) return platform::Err{"invalid byte count '" + std::string(t) + "'"};
    if (*n > UINT64_MAX / mult) return platform::Err{"byte count '" + std::string(t) + "' overflows usize"};
    return *n * mult;
}

platform::Result<ParsedSearchArgs, std::string> parse_search_args(std::span<const std::string> args) {
    ParsedSearchArgs out;
    SearchOptions& o = out.options;
    std::vector<std::string> positionals;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto [name, inline_value] = split_flag_word(arg);
        if (name.size() <= 1) {
            positionals.push_back(arg);
            continue;
        }
        if (const FlagInfo* f = find_flag(name)) {
            if (f->flag == Flag::Help) {
                out.help = true;
                return out;
            }
            std::string value;
            if (f->takes_value) {
                if (inline_value) {
                    value = std::string(*inline_value);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return platform::Err{std::string(f->long_name) + " requires a value"};
                }
            }
            auto r = apply(o, f->flag, value);
            if (!r) return platform::Err{std::move(r.error())};
            continue;
        }
        if (name[0] == '-') {
            // "-1…" that is not the flag itself reads as a negative number.
            if (name[1] == '1') {
                positionals.push_back(arg);
                continue;
            }
            return platform::Err{"unknown flag '" + std::string(name) + "'"};
        }
        positionals.push_back(arg);
    }
    if (auto r = assign_positionals(o, positionals); !r) return platform::Err{std::move(r.error())};
    if (auto msg = check_combinations(o)) return platform::Err{std::move(*msg)};
    return out;
}

}  // namespace cli
