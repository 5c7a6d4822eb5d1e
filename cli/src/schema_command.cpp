#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/schema_flags.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/schema.hpp"

namespace cli {

namespace {

constexpr std::uint64_t kDefaultExamples = 3;
constexpr std::uint64_t kDefaultMaxPaths = 100000;
constexpr std::size_t kTextExampleLines = 3;

void write_err(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stderr); }

void append_decimal(std::string& out, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Unicode scalar values in valid UTF-8 text: every byte that is not a
// continuation byte starts one.
std::size_t char_count(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += !platform::is_utf8_continuation(c);
    return n;
}

void pad_right(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    const std::size_t n = char_count(text);
    if (n < width) out.append(width - n, ' ');
}

void append_text_row(std::string& out, const rova_rudo::SchemaRow& row, std::string& scratch) {
    pad_right(out, row.path, 60);
    out += ' ';
    pad_right(out, rova_rudo::type_mask_names(row.types), 20);
    out += ' ';
    scratch.clear();
    append_decimal(scratch, row.count);
    if (scratch.size() < 10) out.append(10 - scratch.size(), ' ');
    out += scratch;
    out += '\n';
    const std::size_t shown = row.examples.size() < kTextExampleLines ? row.examples.size() : kTextExampleLines;
    for (std::size_t i = 0; i < shown; ++i) {
        out += "  ex: ";
        platform::append_replacing_invalid_sequences(out, row.examples[i]);
        out += '\n';
    }
}

void append_json_row(std::string& out, const rova_rudo::SchemaRow& row, std::string& scratch) {
    out += "{\"path\":";
    rova_rudo::write_json_string(out, row.path);
    out += ",\"type\":";
    rova_rudo::write_json_string(out, rova_rudo::type_mask_names(row.types));
    out += ",\"count\":";
    append_decimal(out, row.count);
    if (!row.examples.empty()) {
        out += ",\"examples\":[";
        for (std::size_t i = 0; i < row.examples.size(); ++i) {
            if (i) out += ',';
            scratch.clear();
            platform::append_replacing_invalid_sequences(scratch, row.examples[i]);
            rova_rudo::write_json_string(out, scratch);
        }
        out += ']';
    }
    out += '}';
}

}  // namespace

int run_schema_command(Args args) {
    auto parsed = parse_schema_flags(args);
    if (!parsed) {
        write_err("qm: schema: " + parsed.error() + "\n");
        return 2;
    }
    const SchemaCommandOptions& opts = *parsed;
    if (opts.help) return 0;
    auto input = load_command_input("schema", opts.file);
    if (!input) return 3;

    rova_rudo::SchemaWalkOptions walk;
    walk.max_examples = opts.examples.value_or(kDefaultExamples);
    walk.max_paths = opts.max_paths.value_or(kDefaultMaxPaths);
    walk.collapse = !opts.no_collapse;
    walk.file_map = input->is_mapped();
    auto tree = rova_rudo::build_schema(input->text(), walk);
    if (!tree) {
        if (input_held("schema", opts.file, *input))
            write_err("qm: schema: parse error: " + rova_rudo::parse_error_display(tree.error()) + "\n");
        return 3;
    }
    if (tree->truncated) write_max_paths_warning("schema", walk.max_paths);

    BufferedWriter out(1);
    std::string line;
    std::string scratch;
    const bool json = opts.format == SchemaFormat::Json;
    if (json) out.put('[');
    bool first = true;
    // Row by row: a deep document's paths together can be far larger than
    // the document.
    rova_rudo::for_each_schema_row(*tree, [&](const rova_rudo::SchemaRow& row) {
        line.clear();
        switch (opts.format) {
            case SchemaFormat::Text:
                if (opts.paths_only) {
                    line += row.path;
                    line += '\n';
                } else {
                    append_text_row(line, row, scratch);
                }
                break;
            case SchemaFormat::JsonLines:
                append_json_row(line, row, scratch);
                line += '\n';
                break;
            case SchemaFormat::Json:
                if (!first) line += ',';
                append_json_row(line, row, scratch);
                break;
        }
        first = false;
        out.write(line);
        return !out.failed();  // the reader is gone: stop making rows
    });
    if (json) out.write("]\n");
    out.flush();
    return input_held("schema", opts.file, *input) ? 0 : 3;
}

}  // namespace cli
