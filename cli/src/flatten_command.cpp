#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/help.hpp"
#include "cli/schema_flags.hpp"
#include "platform/result.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/util.hpp"

namespace cli {

namespace {

using platform::Err;
using platform::Result;
using platform::Unit;
using rova_rudo::JsonCursor;
using rova_rudo::ParseError;

// The line writer of one flatten walk: lines go straight to standard output,
// so memory does not grow with the number of lines.
struct FlattenEmitter {
    std::optional<std::uint64_t> truncation;
    std::optional<std::uint64_t> limit;
    bool objects_too = false;
    BufferedWriter writer{1};
    rova_rudo::PathBuilder path = rova_rudo::new_root_path_dot();
    std::uint64_t count = 0;
};

// Writes "path = value" (or the placeholder); true when the limit is reached
// or the output is gone, and the walk must stop. Nothing is written then.
bool flatten_emit_line(FlattenEmitter& e, std::string_view placeholder, std::optional<std::string_view> value,
                       bool quote) {
    if ((e.limit && e.count >= *e.limit) || e.writer.failed()) return true;
    std::string_view text = value ? *value : placeholder;
    std::optional<std::string> cut;
    if (value && e.truncation && (cut = rova_rudo::truncate_with_ellipsis(*value, *e.truncation))) text = *cut;
    const std::string& path = e.path.text;
    const std::size_t q = value && quote ? 1 : 0;
    const std::size_t total = path.size() + 3 + text.size() + 2 * q + 1;
    // The whole line in one piece, as nearly every line is short (one byte
    // of slack for the fixed-size copy of the separator).
    if (char* p = e.writer.room(total + 1)) {
        std::memcpy(p, path.data(), path.size());
        p += path.size();
        std::memcpy(p, " = \"", 4);
        p += 3 + q;
        std::memcpy(p, text.data(), text.size());
        p += text.size();
        if (q) *p++ = '"';
        *p = '\n';
        e.writer.commit(total);
    } else {
        e.writer.write(path);
        e.writer.write(" = ");
        if (q) e.writer.put('"');
        e.writer.write(text);
        if (q) e.writer.put('"');
        e.writer.put('\n');
    }
    ++e.count;
    return e.limit && e.count >= *e.limit;
}

// Reads one key and its colon; the key becomes the path's innermost segment.
Result<Unit, ParseError> flatten_read_object_key(JsonCursor& c, FlattenEmitter& e) {
    auto err = rova_rudo::scan_member_key(c, [&e](std::string_view key) {
        if (!e.path.starts.empty()) rova_rudo::path_set_key(e.path, key);
    });
    if (err) return Err{*err};
    return Unit{};
}

Result<Unit, ParseError> flatten_walk(std::string_view doc, FlattenEmitter& e) {
    JsonCursor c = rova_rudo::document_cursor(doc);
    rova_rudo::skip_whitespace(c);
    if (c.at_end()) return Err{ParseError::unexpected_end()};
    std::vector<rova_rudo::WalkFrame> stack;
    stack.reserve(32);
    for (;;) {
        rova_rudo::skip_whitespace(c);
        if (c.at_end()) return Err{ParseError::unexpected_end()};
        const std::uint8_t ch = c.peek();
        switch (ch) {
            case '"': {
                auto s = rova_rudo::scan_string(c);
                if (!s) return Err{s.error()};
                if (flatten_emit_line(e, {}, *s, true)) return Unit{};
                break;
            }
            case 't':
            case 'f':
            case 'n': {
                auto lit = rova_rudo::expect_literal(c, ch == 't' ? "true" : ch == 'f' ? "false" : "null");
                if (!lit) return Err{lit.error()};
                if (flatten_emit_line(e, {}, *lit, false)) return Unit{};
                break;
            }
            case '[':
                if (e.objects_too && flatten_emit_line(e, "[array]", std::nullopt, false)) return Unit{};
                ++c.pos;
                rova_rudo::path_enter_array(e.path);
                rova_rudo::skip_whitespace(c);
                if (!c.at_end() && c.peek() == ']') {
                    ++c.pos;
                    rova_rudo::path_pop(e.path);
                    break;
                }
                rova_rudo::path_set_index(e.path, 0);
                stack.push_back({rova_rudo::WalkFrame::kArray, 0});
                continue;
            case '{': {
                if (e.objects_too && flatten_emit_line(e, "{object}", std::nullopt, false)) return Unit{};
                ++c.pos;
                rova_rudo::path_mark_segment(e.path);
                rova_rudo::skip_whitespace(c);
                if (!c.at_end() && c.peek() == '}') {
                    ++c.pos;
                    rova_rudo::path_pop(e.path);
                    break;
                }
                auto k = flatten_read_object_key(c, e);
                if (!k) return Err{k.error()};
                stack.push_back({rova_rudo::WalkFrame::kObject, 0});
                continue;
            }
            default:
                if (ch == '-' || (ch >= '0' && ch <= '9')) {
                    if (flatten_emit_line(e, {}, rova_rudo::scan_number_span(c), false)) return Unit{};
                    break;
                }
                return Err{ParseError::unexpected_byte(ch, c.pos)};
        }

        for (;;) {
            if (stack.empty()) {
                rova_rudo::skip_whitespace(c);
                if (!c.at_end()) return Err{ParseError::multiple_top_level(c.pos)};
                return Unit{};
            }
            rova_rudo::skip_whitespace(c);
            if (c.at_end()) return Err{ParseError::unexpected_end()};
            const std::uint8_t d = c.peek();
            rova_rudo::WalkFrame& top = stack.back();
            const bool in_object = top.kind == rova_rudo::WalkFrame::kObject;
            if (d == (in_object ? '}' : ']')) {
                ++c.pos;
                stack.pop_back();
                rova_rudo::path_pop(e.path);
                continue;
            }
            if (d != ',') return Err{ParseError::unexpected_byte(d, c.pos)};
            ++c.pos;
            if (in_object) {
                rova_rudo::skip_whitespace(c);
                auto k = flatten_read_object_key(c, e);
                if (!k) return Err{k.error()};
            } else {
                ++top.index;
                rova_rudo::path_set_index(e.path, top.index);
            }
            break;
        }
    }
}

void write_err(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stderr); }

}  // namespace

int run_flatten_command(Args args) {
    std::optional<std::uint64_t> truncation;
    std::optional<std::uint64_t> limit;
    bool objects_too = false;
    std::vector<std::string> positionals;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto [name, inline_value] = split_flag_word(arg);
        if (name == "-h" || name == "--help") {
            print_topic_help(FLATTEN_HELP);
            return 0;
        }
        if (name == "--objects-too") {
            objects_too = true;
            continue;
        }
        if (name == "--limit" || name == "--max-value-bytes") {
            std::string_view value;
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                write_err("qm: flatten: " + std::string(name) + " requires a value\n");
                return 2;
            }
            const auto n = parse_count(value);
            if (!n) {
                write_err("qm: flatten: " + std::string(name) + ": '" + std::string(value) +
                          "' is not a non-negative integer\n");
                return 2;
            }
            (name == "--limit" ? limit : truncation) = *n;
            continue;
        }
        if (name.size() >= 2 && name.substr(0, 2) == "--") {
            write_err("qm: flatten: unknown flag '" + std::string(name) + "'\n");
            return 2;
        }
        positionals.push_back(arg);
    }
    if (positionals.size() > 1) {
        write_err("qm: flatten: unexpected positional argument '" + positionals[1] + "'\n");
        return 2;
    }
    const std::string file = positionals.empty() ? "-" : positionals[0];

    // With a limit only the beginning of a file is read, so map it rather
    // than read it whole.
    auto input = load_command_input("flatten", file, limit.has_value());
    if (!input) return 3;

    FlattenEmitter e;
    e.truncation = truncation;
    e.limit = limit;
    e.objects_too = objects_too;
    auto walked = flatten_walk(input->text(), e);
    e.writer.flush();
    if (!input_held("flatten", file, *input)) return 3;
    if (!walked) {
        write_err("qm: flatten: parse error: " + rova_rudo::parse_error_display(walked.error()) + "\n");
        return 3;
    }
    return 0;
}

}  // namespace cli
