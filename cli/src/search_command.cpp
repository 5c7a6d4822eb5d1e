// The search command: argument scan, then either the presence test of one
// path or the search of every input with one of the two engines, and the
// exit status.
#include <cerrno>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/emitter.hpp"
#include "cli/glob.hpp"
#include "cli/help.hpp"
#include "cli/input.hpp"
#include "cli/search_options.hpp"
#include "platform/fault.hpp"
#include "platform/system.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/get.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/path_canonical.hpp"
#include "rova_rudo/search.hpp"
#include "rova_rudo/search_request.hpp"
#include "rova_rudo/search_tape.hpp"

namespace cli {

namespace {

using rova_rudo::EmitMode;
using rova_rudo::SearchError;
using rova_rudo::SearchErrorKind;
using rova_rudo::SearchQuery;
using rova_rudo::TypeFilter;

// One message, one write, so that concurrent writers never split it.
void say(const std::string& msg) {
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    std::fflush(stderr);
}

bool eq_ignore_case_jsonl(std::string_view s) { return platform::ascii_iequals(s, "jsonl"); }

// The file argument as typed names JSON Lines by its last extension.
bool names_json_lines(std::string_view file) {
    std::size_t dot = file.rfind('.');
    std::string_view ext = dot == std::string_view::npos ? file : file.substr(dot + 1);
    return platform::ascii_iequals(ext, "ndjson") || eq_ignore_case_jsonl(ext);
}

// `input`, when given, holds `document` and is asked after the lookup
// whether its bytes held; `name` is the input's in messages.
int run_search_exists(std::string_view document, const std::string& path_text, bool exists,
                      const InputBuffer* input = nullptr, const std::string& name = "") {
    auto canonical = rova_rudo::canonicalize_path(path_text);
    if (!canonical) {
        say("qm: search: invalid path '" + path_text + "': " + rova_rudo::path_syntax_error_display(canonical.error()) +
            "\n");
        return 2;
    }
    auto found = rova_rudo::get_value_at_path(document, canonical->text, canonical->form);
    if (!found) {
        // A path the lookup cannot even read is a mistake in the request, not an
        // answer: reporting it "absent" would make --missing succeed on a typo.
        const auto& e = found.error();
        using Kind = rova_rudo::GetError::Kind;
        if (e.kind == Kind::EmptyPath || e.kind == Kind::BadStart || e.kind == Kind::MalformedSegment) {
            say("qm: search: invalid path '" + path_text + "': " + rova_rudo::get_error_display(e) + "\n");
            return 2;
        }
    }
    if (const char* why = input ? input->failure_after_use() : nullptr) {
        say("qm: search: " + name + ": " + why + "\n");
        return 3;
    }
    if (found.ok() == exists) {
        BufferedWriter out(1);
        out.write(path_text);
        out.put('\n');
        out.flush();
        return 0;
    }
    return 1;
}

struct ErrorFlags {
    bool request_error = false;
    bool input_failure = false;
};

ErrorFlags report_search_error(const SearchError& outcome, std::string_view name) {
    const std::string n(name);
    switch (outcome.kind()) {
        case SearchErrorKind::Parse:
            say("qm: search: " + n + ": parse error: " + rova_rudo::parse_error_display(outcome.parse_error()) + "\n");
            return {false, true};
        case SearchErrorKind::Message: say("qm: search: " + n + ": " + outcome.text() + "\n"); return {false, true};
        case SearchErrorKind::Regex:
            say("qm: search: regex compile error: " + outcome.text() + "\n");
            return {true, false};
        case SearchErrorKind::PathPattern:
            say("qm: search: bad --path: " + outcome.text() + "\n");
            return {true, false};
        case SearchErrorKind::Predicate: say("qm: search: bad --where: " + outcome.text() + "\n"); return {true, false};
        case SearchErrorKind::Success: break;
    }
    return {};
}

int run_presence(const SearchOptions& o) {
    const bool exists = o.exists.has_value();
    const std::string& path_text = exists ? *o.exists : *o.missing;
    if (*o.file == "-") {
        auto doc = read_stdin_all();
        if (!doc) {
            say("qm: search: stdin: " + doc.error().message() + "\n");
            return 3;
        }
        return run_search_exists(doc->text(), path_text, exists);
    }
    // The argument is taken literally here: presence tests one document.
    auto doc = open_mapped_file(*o.file);
    if (!doc) {
        say("qm: search: " + *o.file + ": " + doc.error().message() + "\n");
        return 3;
    }
    return run_search_exists(doc->text(), path_text, exists, &*doc, *o.file);
}

bool wants_in_memory_engine(const SearchOptions& o, bool json_lines) {
    return o.path || o.type_filter != TypeFilter::None || (o.limit && *o.limit <= 32) || o.all_types || json_lines ||
           o.where || o.emit != EmitMode::Path;
}

// One file to search, and whether it is read as JSON Lines: decided by the
// argument as typed, so a glob's pattern decides for every file it matches.
struct SearchInput {
    std::string path;
    bool json_lines = false;
    bool from_glob = false;       // a match of a pattern, not a name as typed
    bool listed_regular = false;  // the glob's listing showed a regular file
};

// The inputs of a run as the arguments name them, handed on one by one as
// they are found: a glob lists its directories while the files found so far
// are searched ahead.
using InputSink = std::function<void(SearchInput)>;

// Adds the files one argument names (a glob or one file); false for a
// pattern that is not one, once reported. A glob that matches nothing is
// reported and sets `unmatched`: it fails alone, as a missing file does.
bool add_inputs(const SearchOptions& o, const std::string& arg, const InputSink& add, bool& unmatched) {
    const bool json_lines = o.jsonl_in || names_json_lines(arg);
    if (!has_glob_chars(arg)) {
        add({arg, json_lines});
        return true;
    }
    auto glob = Glob::compile(arg);
    if (!glob) {
        say("qm: search: invalid glob pattern '" + arg + "': " + glob.error().text() + "\n");
        return false;
    }
    bool any = false;
    glob->walk([&](std::string path, bool listed_regular) {
        any = true;
        add({std::move(path), json_lines, true, listed_regular});
    });
    if (!any) {
        say("qm: search: no files match pattern '" + arg + "'\n");
        unmatched = true;
    }
    return true;
}

int run_search(const SearchOptions& o) {
    // "-" names standard input only as the one file argument.
    const bool from_stdin = *o.file == "-" && o.more_files.empty();

    SearchQuery q;
    q.limit = o.limit;
    q.term = o.term;
    q.key = o.key;
    q.value = o.value;
    q.path = o.path;
    q.where = o.where;
    q.case_sensitive = o.case_sensitive;
    q.regex = o.regex;
    q.keys_only = o.keys_only;
    q.values_only = o.values_only;
    q.all_types = o.all_types;
    q.jsonl_in = o.jsonl_in;
    q.type_filter = o.type_filter;
    q.emit = o.emit;
    // A bad expression, path pattern or predicate is the answer whatever the
    // input holds: it is reported before any input is opened or waited for.
    const SearchError request = rova_rudo::check_search_query(q);

    const bool color_on =
        o.color == ColorMode::Always || (o.color == ColorMode::Auto && platform::stdout_is_terminal());
    EmitterSettings settings;
    settings.max_value_bytes = o.max_value_bytes;
    settings.max_output = o.max_output;
    if (color_on && o.term) {
        settings.highlight = platform::ascii_lowered(*o.term);
    }
    settings.color_on = color_on;
    settings.count_only = o.count;
    settings.envelope = o.envelope;
    settings.raw = o.raw;
    settings.format = o.format;
    settings.emit = o.emit;
    // Standard output is set up with the first file searched: an argument
    // that fails before leaves it untouched.
    std::optional<BufferedWriter> writer;
    std::optional<ResultEmitter> em;

    ErrorFlags flags;
    auto take = [&](const SearchError& outcome, std::string_view name) {
        ErrorFlags f = report_search_error(outcome, name);
        flags.request_error |= f.request_error;
        flags.input_failure |= f.input_failure;
    };
    auto start_output = [&] {
        writer.emplace(1);
        em.emplace(*writer, std::move(settings));
        em->begin_output();
        if (!request.is_success()) take(request, "");
        // A file cut while it is mapped fails that input only.
        platform::recover_shrunk_input_maps(true);
    };

    // A walk that runs out of memory fails its input; the next is searched.
    auto search_in_memory = [&](std::string_view text) {
        try {
            return rova_rudo::run_in_memory_search(text, q, *em);
        } catch (const std::bad_alloc&) {
            return SearchError::message(platform::IoError{ENOMEM}.message());
        }
    };

    std::vector<SearchInput> inputs;
    // The files of a glob or a list that the tape search takes are searched
    // ahead on helper threads, from the second file found on, while the
    // rest are still being listed; their matches are handed on here in
    // order.
    std::optional<rova_rudo::TapeSearchAhead> ahead;
    // The tape search keeps its matchers and memory from one file to the next.
    std::optional<rova_rudo::TapeSearch> tape_search;
    std::uint64_t unsound_matches = 0;
    // Several file arguments print their prefixes even where globs among them matched nothing.
    bool several = !o.more_files.empty();

    // Searches input i; false when the run must stop.
    auto search_one = [&](std::size_t i) -> bool {
        const SearchInput& input = inputs[i];
        if (writer->failed() || flags.request_error) return false;  // the reader is gone, or nothing can match
        const std::string& path = input.path;
        // Names found by a glob need not be UTF-8; reports and prefixes are text.
        std::string name;
        platform::append_replacing_invalid_sequences(name, path);
        if (several) em->begin_file(name);
        q.jsonl_in = input.json_lines;
        SearchError outcome = SearchError::success(0);
        const std::uint64_t matches_before = em->match_count();
        // Every file is taken from the search ahead, in order, also one it
        // left to its turn.
        auto early = ahead ? ahead->take(i, *em) : std::nullopt;
        // The output so far is written before anything that may wait: the
        // open or read of a FIFO, the read of a device.
        bool special = false;
        if (!early) {
            const auto meta = platform::stat_path(path);
            special = meta && meta->kind == platform::FileKind::Other;
        }
        if (special) writer->flush();
        const bool glob_special = special && input.from_glob;
        if (early) {
            outcome = std::move(*early);
        } else if (wants_in_memory_engine(o, input.json_lines) || glob_special) {
            // With a limit the search likely stops early, so map rather than read.
            auto doc = glob_special ? load_glob_special_file(path)
                       : o.limit    ? open_mapped_file(path)
                                    : load_input_file(path);
            if (!doc) {
                say("qm: search: " + name + ": " + doc.error().message() + "\n");
                flags.input_failure = true;
                return true;
            }
            outcome = search_in_memory(doc->text());
            // A map read past the file's new end gave zeros, one of a file
            // written meanwhile gave bytes of two states: whatever the walk
            // made of them, the input failed.
            if (const char* why = doc->failure_after_use()) outcome = SearchError::message(why);
        } else {
            if (!tape_search) tape_search.emplace(q);
            outcome = tape_search->search(path, *em);
        }
        if (outcome.is_success()) return true;
        // Matches in bytes that were cut or written under the search are no
        // answer: they make no run a success.
        if (outcome.kind() == SearchErrorKind::Message &&
            (outcome.text() == platform::kFileChangedText || outcome.text() == platform::kFileShrankText))
            unsound_matches += em->match_count() - matches_before;
        take(outcome, name);
        return !flags.request_error;
    };

    std::size_t searched = 0;  // inputs searched so far, in order
    bool stopped = false;
    // While the last argument is listed, nothing more can be said about the
    // arguments, and the files searched ahead are handed on as they are
    // done: the matches held meanwhile stay few.
    bool listing_last = false;
    const unsigned helpers = platform::helper_thread_count(std::nullopt, platform::processor_count());
    const bool may_go_ahead = !from_stdin && request.is_success() && helpers >= 2;
    bool any_tape = false;
    auto ahead_add = [&](const SearchInput& input) {
        const bool tape = !wants_in_memory_engine(o, input.json_lines);
        ahead->add(tape ? input.path : std::string(), input.listed_regular);
    };
    auto add = [&](SearchInput input) {
        any_tape |= !wants_in_memory_engine(o, input.json_lines);
        inputs.push_back(std::move(input));
        if (ahead) {
            ahead_add(inputs.back());
        } else if (may_go_ahead && any_tape && inputs.size() >= 2) {
            ahead.emplace(q, helpers - 1);
            for (const SearchInput& earlier : inputs) ahead_add(earlier);
        }
        if (!listing_last || !ahead) return;
        several = true;
        while (!stopped && searched < inputs.size() && ahead->ready(searched)) {
            if (!writer) start_output();
            if (!search_one(searched++)) stopped = true;
        }
    };
    bool unmatched = false;
    if (!from_stdin) {
        listing_last = o.more_files.empty();
        if (!add_inputs(o, *o.file, add, unmatched)) return 3;
        for (std::size_t k = 0; k < o.more_files.size(); ++k) {
            listing_last = k + 1 == o.more_files.size();
            if (!add_inputs(o, o.more_files[k], add, unmatched)) return 3;
        }
        if (inputs.empty()) return 3;  // every argument a glob that matched nothing
    }
    if (ahead) ahead->finish();
    several |= inputs.size() >= 2;
    flags.input_failure |= unmatched;
    if (!writer) start_output();

    if (from_stdin && !flags.request_error) {
        auto doc = read_stdin_all();
        if (!doc) {
            say("qm: search: stdin: " + doc.error().message() + "\n");
            flags.input_failure = true;
        } else {
            SearchError outcome = search_in_memory(doc->text());
            if (!outcome.is_success()) take(outcome, "stdin");
        }
    }
    for (; !stopped && searched < inputs.size(); ++searched)
        if (!search_one(searched)) break;
    platform::recover_shrunk_input_maps(false);

    em->end_output();
    std::fflush(stdout);

    if (flags.request_error) return 2;
    if (em->match_count() > unsound_matches) return 0;
    if (flags.input_failure) return 3;
    return 1;
}

}  // namespace

int run_search_command(Args args) {
    auto parsed = parse_search_args(args);
    if (!parsed) {
        say("qm: search: " + parsed.error() + "\n");
        return 2;
    }
    if (parsed->help) {
        print_usage_to_stderr();
        return 0;
    }
    const SearchOptions& o = parsed->options;
    if (o.exists || o.missing) return run_presence(o);
    return run_search(o);
}

}  // namespace cli
