// The buffered writer over standard output that every command prints
// through, and the result emitter: the MatchSink that turns each match of a
// search into plain, JSON Lines or JSON output within the --max-output cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "rova_rudo/search_request.hpp"

namespace cli {

// The first failed write to an output descriptor other than a closed pipe
// (a full disk, say), as an errno value; 0 when there was none. A closed pipe
// is the reader saying it has seen enough, so it is never an error.
int output_write_error();

// Records a write to an output stream that failed with `err`: output ends
// there, and unless `err` is a closed pipe, the run ends with exit 3.
void note_output_failure(int err);

// The compact form of JSON text whose bytes otherwise stay as written: the
// whitespace outside strings is dropped (a quote opens a string and the next
// unescaped quote closes it; a backslash inside keeps the byte after it).
// `run` gets the kept bytes in order, as maximal runs of the text.
void for_each_minified_run(std::string_view text, const std::function<void(std::string_view)>& run);

// Collects output in an 8 KiB buffer and hands it to the descriptor whenever
// the buffer fills, and on flush() and destruction. After a failed write the
// rest is dropped and failed() is true: nothing more can reach the reader, so
// the commands consult it in their long loops and stop their work.
class BufferedWriter {
public:
    static constexpr std::size_t kCapacity = 8192;

    explicit BufferedWriter(int fd = 1);
    // Appends everything to `capture` instead of a descriptor (tests, and
    // callers that post-process output).
    explicit BufferedWriter(std::string* capture);
    ~BufferedWriter();
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    // Inline: flatten and the emitter write a few bytes at a time, and the
    // common case is a copy into the buffer.
    void write(std::string_view bytes) {
        if (bytes.size() <= kCapacity - used_) {
            std::memcpy(buf_ + used_, bytes.data(), bytes.size());
            used_ += bytes.size();
            return;
        }
        write_past_end(bytes);
    }
    void put(char c) {
        if (used_ < kCapacity) {
            buf_[used_++] = c;
            return;
        }
        write_past_end(std::string_view(&c, 1));
    }
    void flush();
    bool failed() const { return failed_; }
    // For a caller that assembles a short record in place: room for n more
    // bytes at the end of the buffer (flushing it first when they do not
    // fit), or nullptr when n is more than the buffer holds. commit(n)
    // then takes the n bytes written there.
    char* room(std::size_t n) {
        if (n > kCapacity - used_) {
            flush_full();
            if (n > kCapacity) return nullptr;
        }
        return buf_ + used_;
    }
    void commit(std::size_t n) { used_ += n; }

private:
    // A write that does not fit in what is left of the buffer.
    void write_past_end(std::string_view bytes);
    // Flushes a buffer that has no room left: the output is more than a
    // buffer's worth, and a pipe to the reader worth widening.
    void flush_full();
    void drain(const char* p, std::size_t n);
    int fd_ = -1;
    std::string* capture_ = nullptr;
    std::size_t used_ = 0;
    bool failed_ = false;
    bool widened_ = false;  // a pipe's buffer grown for output that overflows this one
    char buf_[kCapacity];
};

enum class OutputFormat : std::uint8_t { Plain = 0, JsonLines = 1, Json = 2 };
enum class ColorMode : std::uint8_t { Auto = 0, Always = 1, Never = 2 };

// How a search run prints its matches; fixed for the whole run.
struct EmitterSettings {
    OutputFormat format = OutputFormat::Plain;
    rova_rudo::EmitMode emit = rova_rudo::EmitMode::Path;
    std::optional<std::uint64_t> max_value_bytes;  // cut values (and containers) to this many bytes
    std::optional<std::uint64_t> max_output;       // cap on the record bytes written
    std::optional<std::string> highlight;          // ASCII-lower-cased term; only with colour
    bool color_on = false;
    bool count_only = false;  // count the matches, print only the total
    bool envelope = false;
    bool raw = false;
};

// The search's MatchSink: formats each match into plain, JSON Lines or JSON
// records through the writer, within the --max-output cap. The search
// command builds one per run, writes the framing through begin_output and
// end_output, calls begin_file before each file when several are searched,
// and reads the counts at the end.
class ResultEmitter final : public rova_rudo::MatchSink {
public:
    ResultEmitter(BufferedWriter& w, EmitterSettings settings);

    // The opening "[" of JSON output (nothing with count_only).
    void begin_output();
    // Records from now on carry `name` as their file; the next file's first
    // report is never taken for a repeat of this file's last.
    void begin_file(std::string name);
    // The closing framing (the total with count_only, or "]" of JSON
    // output), then everything is flushed.
    void end_output();

    // Formats one match; true asks the engine to stop (the cap is reached).
    // A key or scalar whose path equals the previous match's is dropped
    // uncounted in the path, value and assignment modes.
    bool emit_search_match(std::string_view path, std::string_view text, rova_rudo::ScalarKind kind,
                           rova_rudo::MatchShape shape, std::optional<std::uint64_t> offset) override;

    std::uint64_t match_count() const { return match_count_; }
    bool matched() const { return match_count_ > 0; }
    std::uint64_t bytes_written() const { return bytes_written_; }
    bool truncated() const { return truncated_; }  // the cap cut or was reached; stays set

private:
    // One plain-format record (with the file prefix when one is set).
    void write_plain(std::string_view path, std::string_view text, rova_rudo::ScalarKind kind,
                     rova_rudo::MatchShape shape);
    void write_highlighted_path(std::string_view path);
    // The value's text, in double quotes when `quoted`, and a line feed.
    void write_value_line(std::string_view text, bool quoted);
    // Writes as much of `bytes` as the output cap leaves, so the output stops
    // at exactly max_output bytes; sets truncated_ when the cap cuts or is
    // reached.
    void write_capped(std::string_view bytes);
    bool cap_reached() const;

    const EmitterSettings settings_;
    BufferedWriter& writer_;
    rova_rudo::ReportedPath reported_path_;   // one report per path (key, scalar and container reports)
    std::optional<std::string> file_prefix_;  // current file, when several are searched
    std::string record_buffer_;               // scratch: one JSON record, or flattened lines
    std::string minify_buffer_;               // scratch: a container without its whitespace
    std::uint64_t match_count_ = 0;
    std::uint64_t bytes_written_ = 0;
    bool first_json_element_ = true;
    bool truncated_ = false;
};

// Appends `text` to `out` with every non-overlapping occurrence of `term`
// (non-empty, ASCII lower case; matched folding A-Z) wrapped in bold red.
void highlight_ascii_ci(std::string& out, std::string_view text, std::string_view term);

}  // namespace cli
