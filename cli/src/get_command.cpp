// `qm get [--minify] <path> [<file>]`: prints the value one path names.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/file_arg.hpp"
#include "cli/help.hpp"
#include "cli/input.hpp"
#include "cli/schema_flags.hpp"
#include "platform/system.hpp"
#include "rova_rudo/get.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/path_canonical.hpp"

namespace cli {

namespace {

// One write per message, so that lines from concurrent writers stay whole.
void report(std::string_view message) {
    std::string line = "qm: get: ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// A path that cannot be read is a usage error; one that names nothing in the
// document is "not found"; a document that cannot be read is a runtime error.
int exit_code_for(const rova_rudo::GetError& e) {
    using Kind = rova_rudo::GetError::Kind;
    switch (e.kind) {
        case Kind::EmptyPath:
        case Kind::BadStart:
        case Kind::MalformedSegment: return 2;
        case Kind::KeyNotFound:
        case Kind::IndexOutOfBounds:
        case Kind::TypeMismatch: return 4;
        case Kind::Parse: return 3;
    }
    return 3;
}

// Looks the path up in `document` and prints the value; returns the exit code.
// `mapped`: the document is a memory map of the file.
int run_get(std::string_view document, const std::string& path, bool minify, bool mapped) {
    auto canonical = rova_rudo::canonicalize_path(path);
    if (!canonical) {
        report("invalid path '" + path + "': " + rova_rudo::path_syntax_error_display(canonical.error()));
        return 2;
    }
    const rova_rudo::CanonicalPath& cp = canonical.value();
    std::string_view form_name = rova_rudo::path_form_note_name(cp.form);
    if (!form_name.empty())
        report("coerced " + std::string(form_name) + " path '" + path + "' to canonical '" + cp.text + "'");

    auto found = rova_rudo::get_value_at_path(document, cp.text, cp.form);
    if (!found) {
        report(rova_rudo::get_error_display(found.error()));
        return exit_code_for(found.error());
    }
    const rova_rudo::ValueSpan& v = found.value();

    BufferedWriter out(1);
    using rova_rudo::GetValueKind;
    if (minify) {
        for_each_minified_run(v.text(), [&out](std::string_view run) { out.write(run); });
        out.put('\n');
        out.flush();
        return 0;
    }
    const bool raw = v.kind == GetValueKind::Null || v.kind == GetValueKind::Boolean || v.kind == GetValueKind::Number;
    bool written = false;
    if (!raw) {
        // Values the strict reader rejects (too deep, or content the lookup
        // never examined, such as 01 or a bad escape) are printed as they stand.
        std::string buf;
        // A large array of records is checked and written on several
        // threads: checked in slices of 8 MiB, written in slices of 256 KiB,
        // as the written text of each slice is held until the slices before
        // it are out. A mapped value's pages are mapped at once, or given
        // back as the slices pass them.
        written = rova_rudo::reformat_json_given(
            v.text(), rova_rudo::JsonStyle::Pretty, buf,
            [&](std::string& chunk) {
                out.write(chunk);
                chunk.clear();
            },
            [&] { return out.failed(); }, platform::helper_thread_count(std::nullopt, platform::processor_count()),
            std::size_t{8} << 20, std::size_t{1} << 18, mapped ? document.data() : nullptr);
        out.write(buf);
    }
    if (!written) out.write(v.text());
    out.put('\n');
    out.flush();
    return 0;
}

// What the argument scan collects.
struct GetArgs {
    std::string file;  // "-" for standard input
    std::string path;  // as typed
    bool minify = false;
};

// The scan: a usage error message, or the arguments; nullopt after -h/--help
// (the usage has been written).
std::optional<platform::Result<GetArgs, std::string>> parse_get_args(Args args) {
    std::vector<std::string> positionals;
    positionals.reserve(2);
    GetArgs out;
    for (const std::string& a : args) {
        if (a == "--minify") {
            out.minify = true;
        } else if (a == "--help" || a == "-h") {
            print_usage_to_stderr();
            return std::nullopt;
        } else if (a.size() <= 1 || !a.starts_with("--")) {
            positionals.push_back(a);
        } else {
            return platform::Err{"unknown flag '" + a + "'"};
        }
    }
    if (positionals.size() > 2) return platform::Err{"unexpected positional argument '" + positionals[2] + "'"};
    if (auto hint = argument_order_hint("get", positionals, "path")) return platform::Err{std::move(*hint)};
    if (positionals.empty()) return platform::Err{std::string("missing <path> argument")};
    out.path = positionals[0];
    out.file = positionals.size() > 1 ? positionals[1] : "-";
    return out;
}

}  // namespace

int run_get_command(Args args) {
    auto parsed = parse_get_args(args);
    if (!parsed) return 0;
    if (!parsed->ok()) {
        report(parsed->error());
        return 2;
    }
    const GetArgs& a = parsed->value();
    if (a.file == "-") {
        auto in = read_stdin_all();
        if (!in) {
            report("stdin: " + in.error().message());
            return 3;
        }
        return run_get(in.value().text(), a.path, a.minify, false);
    }
    auto in = open_mapped_file(a.file);
    if (!in) {
        report(a.file + ": " + in.error().message());
        return 3;
    }
    const int code = run_get(in.value().text(), a.path, a.minify, in.value().is_mapped());
    return input_held("get", a.file, in.value()) ? code : 3;
}

}  // namespace cli
