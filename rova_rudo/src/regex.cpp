#include "rova_rudo/regex.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/utf8.hpp"
#include "unicode_sets.hpp"

namespace rova_rudo {

namespace {

using unicode::add_all;
using unicode::case_fold;
using unicode::CodeRange;
using unicode::complement;
using unicode::intersect;
using unicode::is_space;
using unicode::normalize;
using unicode::perl_class;
using unicode::Ranges;

// RE2 refuses a counted repetition whose count, or the product of the
// counts of nested repetitions, exceeds this.
constexpr std::uint64_t kRe2MaxRepeat = 1000;
// Every copy of a literal or assertion, of each range of a class, and the
// branch of each optional copy costs RE2 at least one instruction. Under
// kRegexMemoryBudget its program may hold 2^20 of them, but the reverse
// program that finds where a match starts gets half that room, and without
// it every search falls back to RE2's slowest engine: a pattern that needs
// more is refused before it is written out, in bounded time (RE2 spends
// about a second compiling 2^20 instructions).
constexpr std::uint64_t kMaxCopies = std::uint64_t{1} << 19;
// A rewritten pattern longer than this is refused as too large too (RE2
// would spend seconds reading it, to reach the same verdict).
constexpr std::size_t kMaxPatternBytes = std::size_t{16} << 20;
constexpr std::uint32_t kMaxNesting = 250;
// A counted repetition with at most this many optional copies is left to RE2.
constexpr std::uint64_t kNestedOptions = 16;
constexpr const char* kNestingMessage = "expression nests too deeply";

// \a \f \t \n \r \v; 0 for any other letter.
char32_t control_escape(char c) {
    switch (c) {
        case 'a': return 0x07;
        case 'f': return 0x0C;
        case 't': return 0x09;
        case 'n': return 0x0A;
        case 'r': return 0x0D;
        case 'v': return 0x0B;
        default: return 0;
    }
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_alnum(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

void append_code(std::string& out, char32_t c) {
    char buf[6];
    std::size_t n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\x{";
    while (n > 0) out += buf[--n];
    out += '}';
}

void append_ranges(std::string& out, const Ranges& r) {
    for (const CodeRange& x : r) {
        append_code(out, x.lo);
        if (x.hi > x.lo) {
            out += '-';
            append_code(out, x.hi);
        }
    }
}

// A positive class for exactly `r` (RE2 has no empty class: one that
// matches nothing is the complement of everything).
void append_class(std::string& out, const Ranges& r) {
    if (r.empty()) {
        out += "[^\\x{0}-\\x{10FFFF}]";
        return;
    }
    out += '[';
    append_ranges(out, r);
    out += ']';
}

char32_t code_at(std::string_view s, std::size_t at) {
    const auto b = static_cast<unsigned char>(s[at]);
    if (b < 0x80) return b;
    const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    char32_t c = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[at + k]) & 0x3F);
    return c;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

enum class SetOp { Intersection, Difference, SymmetricDifference };

// One escape sequence, read by Translator::escape.
struct Escape {
    enum Kind { Literal, Class, Property, Assertion, Raw } kind = Raw;
    char32_t code = 0;  // Literal
    Ranges ranges;      // Class, Property
    char letter = 0;    // Class: w W d D s S
    std::string text;   // Property, Assertion, Raw: as written
};

class Translator {
public:
    Translator(std::string_view pattern, const RegexOptions& opt, bool for_message)
        : pat_(pattern), message_(for_message) {
        flags_.i = opt.case_insensitive;
        flags_.s = opt.dot_nl;
    }

    platform::Result<std::string, std::string> run() {
        while (true) {
            bump_space();
            if (at_end()) break;
            if (!step()) return platform::Err{std::move(error_)};
            if (out_.size() > kMaxPatternBytes) return platform::Err{std::string(kRegexTooLargeMessage)};
        }
        return std::move(out_);
    }

private:
    struct Flags {
        bool i = false;  // case-insensitive
        bool x = false;  // verbose
        bool s = false;  // . matches a line feed
    };
    // The last thing a repetition operator would apply to.
    struct Atom {
        std::size_t start = std::string::npos;  // in out_; npos: none
        std::uint64_t product = 1;              // largest product of nested counted repetitions
        std::uint64_t copies = 1;               // how many instructions RE2 gives it, at least
        bool quantified = false;
        std::uint32_t depth = 0;  // groups, brackets and repetitions around its deepest piece
    };
    struct Sequence {
        Atom last;
        std::uint64_t product = 1;
        std::uint64_t copies = 0;
        std::uint32_t depth = 0;
    };
    struct Group {
        Flags saved;
        std::size_t out_start;
        Sequence outer;
    };

    std::string_view pat_;
    bool message_;
    std::size_t pos_ = 0;
    std::string out_;
    std::string error_;
    Flags flags_;
    Sequence seq_;
    std::vector<Group> groups_;
    std::unordered_set<std::string> names_;
    std::size_t class_start_ = 0;

    bool at_end() const { return pos_ >= pat_.size(); }
    char cur() const { return pat_[pos_]; }

    bool fail(std::string text) {
        error_ = std::move(text);
        return false;
    }

    // The code point at `at` and its length. compile_regex hands over valid
    // UTF-8 only; a cut sequence from another caller reads as one byte.
    std::pair<char32_t, std::size_t> decode(std::size_t at) const {
        const auto b = static_cast<unsigned char>(pat_[at]);
        if (b < 0x80) return {b, 1};
        const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        if (at + n > pat_.size()) return {b, 1};
        return {code_at(pat_, at), n};
    }

    // Verbose mode: white space and # comments between the pieces are not
    // part of the pattern.
    void bump_space() {
        if (!flags_.x) return;
        while (!at_end()) {
            const auto [c, n] = decode(pos_);
            if (is_space(c)) {
                pos_ += n;
            } else if (c == '#') {
                while (!at_end() && cur() != '\n') ++pos_;
                if (!at_end()) ++pos_;
            } else {
                break;
            }
        }
    }

    // The next character after `at`'s white space (verbose mode), or 0.
    char peek_space(std::size_t at) {
        const std::size_t keep = pos_;
        pos_ = at;
        bump_space();
        const char c = at_end() ? '\0' : cur();
        pos_ = keep;
        return c;
    }

    void atom(std::size_t start, std::uint64_t product = 1, std::uint64_t copies = 1, std::uint32_t depth = 0) {
        seq_.last = {start, product, std::max<std::uint64_t>(copies, 1), false, depth};
        seq_.product = std::max(seq_.product, product);
        seq_.copies = std::min(seq_.copies + seq_.last.copies, kMaxCopies + 1);
        seq_.depth = std::max(seq_.depth, depth);
    }

    // Groups, brackets and repetition operators nest at most kMaxNesting
    // deep: RE2 would take any depth, and spend time and stack on it.
    bool nesting_allows(std::uint64_t depth) {
        if (depth <= kMaxNesting) return true;
        return fail(kNestingMessage);
    }

    bool step() {
        switch (cur()) {
            case '\\': return escape_outside();
            case '[': return bracketed_class();
            case '(': return open_group();
            case ')': return close_group();
            case '|':
                ++pos_;
                out_ += '|';
                seq_.last = {};
                return true;
            case '*':
            case '+':
            case '?': return simple_repetition();
            case '{': return counted_repetition();
            case '.': {
                ++pos_;
                const std::size_t start = out_.size();
                if (message_) {
                    out_ += '.';
                    atom(start);
                    return true;
                }
                // RE2's own . also matches what is not well-formed UTF-8 (an
                // encoded surrogate, an overlong form, a value past 10FFFF).
                static const Ranges any = unicode::complement({});
                static const Ranges not_nl = unicode::complement({{'\n', '\n'}});
                const Ranges& dot = flags_.s ? any : not_nl;
                append_class(out_, dot);
                atom(start, 1, dot.size());
                return true;
            }
            default: {
                const std::size_t start = out_.size();
                const std::size_t n = decode(pos_).second;
                out_.append(pat_.substr(pos_, n));
                pos_ += n;
                atom(start);
                return true;
            }
        }
    }

    // ---- escapes ----

    bool hex_escape(std::size_t start, char kind, Escape& e) {
        std::uint64_t v = 0;
        std::size_t digits = 0;
        if (!at_end() && cur() == '{') {
            ++pos_;
            while (!at_end() && is_hex(cur()) && digits < 9) {
                v = v * 16 + static_cast<std::uint64_t>(is_digit(cur()) ? cur() - '0' : (cur() | 0x20) - 'a' + 10);
                ++digits;
                ++pos_;
            }
            if (at_end() || cur() != '}' || digits == 0) return bad_escape(start);
            ++pos_;
        } else {
            const std::size_t want = kind == 'x' ? 2 : kind == 'u' ? 4 : 8;
            while (digits < want && !at_end() && is_hex(cur())) {
                v = v * 16 + static_cast<std::uint64_t>(is_digit(cur()) ? cur() - '0' : (cur() | 0x20) - 'a' + 10);
                ++digits;
                ++pos_;
            }
            if (digits != want) return bad_escape(start);
        }
        if (v > unicode::kMaxCode || (v >= 0xD800 && v <= 0xDFFF)) return bad_escape(start);
        e.kind = Escape::Literal;
        e.code = static_cast<char32_t>(v);
        return true;
    }

    // \pL, \p{Name}, \P{..} and \p{^..}: the set from the Unicode tables.
    // A negated property is the complement of the folded set in
    // case-insensitive mode, as RE2 has it.
    bool property_escape(std::size_t start, bool negated, Escape& e) {
        std::string_view name;
        if (!at_end() && cur() == '{') {
            const std::size_t close = pat_.find('}', pos_);
            if (close == std::string_view::npos) {
                pos_ = pat_.size();
                e.kind = Escape::Raw;  // RE2 reports the unclosed name
                e.text = std::string(pat_.substr(start));
                return true;
            }
            name = pat_.substr(pos_ + 1, close - pos_ - 1);
            pos_ = close + 1;
            if (name.starts_with('^')) {
                name.remove_prefix(1);
                negated = !negated;
            }
        } else if (!at_end()) {
            const std::size_t n = decode(pos_).second;
            name = pat_.substr(pos_, n);
            pos_ += n;
        } else {
            e.kind = Escape::Raw;
            e.text = std::string(pat_.substr(start));
            return true;
        }
        e.text = std::string(pat_.substr(start, pos_ - start));
        auto set = unicode::property_set(name);
        if (!set) return fail("unknown Unicode property: " + e.text);
        if (negated) {
            if (flags_.i) case_fold(*set);
            *set = complement(*set);
        }
        e.kind = Escape::Property;
        e.ranges = std::move(*set);
        return true;
    }

    bool bad_escape(std::size_t start) {
        return fail("invalid escape sequence: " + std::string(pat_.substr(start, pos_ - start)));
    }

    // Reads the escape at pos_ (a backslash) into `e`; fails on the escapes
    // that RE2 would read but users' syntax refuses.
    bool escape(Escape& e) {
        const std::size_t start = pos_;
        ++pos_;
        if (at_end()) {
            e.kind = Escape::Raw;  // RE2: trailing backslash
            e.text = "\\";
            return true;
        }
        const auto [c, n] = decode(pos_);
        pos_ += n;
        if (c >= 0x80) {
            e.kind = Escape::Raw;  // RE2 refuses it too
            e.text = std::string(pat_.substr(start, pos_ - start));
            return true;
        }
        const char ch = static_cast<char>(c);
        if (const char32_t control = control_escape(ch)) {
            e.kind = Escape::Literal;
            e.code = control;
            return true;
        }
        switch (ch) {
            case 'x':
            case 'u':
            case 'U': return hex_escape(start, ch, e);
            case 'w':
            case 'W':
            case 'd':
            case 'D':
            case 's':
            case 'S':
                e.kind = Escape::Class;
                e.letter = ch;
                e.ranges = perl_class(ch);
                return true;
            case 'p':
            case 'P': return property_escape(start, ch == 'P', e);
            case 'b':
            case 'B':
                // \b{start} and its kind are word-boundary forms RE2 would read
                // as \b followed by a literal.
                if (!at_end() && cur() == '{') {
                    ++pos_;
                    return bad_escape(start);
                }
                [[fallthrough]];
            case 'A':
            case 'z':
                e.kind = Escape::Assertion;
                e.text = std::string(pat_.substr(start, pos_ - start));
                return true;
            case 'Q':
            case 'E':
            case 'C':
            case '<':
            case '>': return bad_escape(start);
            default: break;
        }
        if (is_digit(ch)) {
            while (pos_ - start < 4 && !at_end() && is_digit(cur())) ++pos_;
            return bad_escape(start);
        }
        if (is_ascii_alnum(ch)) {
            e.kind = Escape::Raw;  // RE2 refuses the other letters too
            e.text = std::string(pat_.substr(start, pos_ - start));
            return true;
        }
        e.kind = Escape::Literal;  // escaped punctuation or space
        e.code = c;
        return true;
    }

    // A \w-like class or a property outside brackets.
    void append_set_escape(const Escape& e) {
        if (!message_) {
            append_class(out_, e.ranges);
        } else if (e.kind == Escape::Property) {
            out_ += e.text;
        } else {
            out_ += '\\';
            out_ += e.letter;
        }
    }

    bool escape_outside() {
        Escape e;
        if (!escape(e)) return false;
        const std::size_t start = out_.size();
        switch (e.kind) {
            case Escape::Literal:
                // Escaped punctuation reads the same to RE2, and stays legible.
                if (e.code > 0x20 && e.code < 0x7F && !is_ascii_alnum(static_cast<char>(e.code))) {
                    out_ += '\\';
                    out_ += static_cast<char>(e.code);
                } else {
                    append_code(out_, e.code);
                }
                break;
            case Escape::Class:
            case Escape::Property:
                append_set_escape(e);
                atom(start, 1, e.ranges.size());
                return true;
            case Escape::Assertion:
            case Escape::Raw: out_ += e.text; break;
        }
        atom(start);
        return true;
    }

    // ---- groups and flags ----

    bool open_group() {
        const std::size_t start = pos_;
        if (!nesting_allows(groups_.size() + 1)) return false;
        groups_.push_back({flags_, out_.size(), seq_});
        seq_ = {};
        ++pos_;
        if (at_end() || cur() != '?') {
            // Only the whole match is ever asked for, and a group may be
            // copied by a repetition: no captures.
            out_ += message_ ? "(" : "(?:";
            return true;
        }
        std::string_view rest = pat_.substr(pos_);
        if (rest.starts_with("?P<") || (rest.starts_with("?<") && rest.size() > 2 && rest[2] != '=' && rest[2] != '!'))
            return named_group(start);
        // Flags: (?flags) or (?flags:...).
        std::size_t k = pos_ + 1;
        std::string on, off;
        bool negated = false;
        Flags next = flags_;
        while (k < pat_.size() && pat_[k] != ')' && pat_[k] != ':') {
            const char f = pat_[k];
            if (f == '-' && !negated) {
                negated = true;
            } else if (f == 'i' || f == 'm' || f == 's' || f == 'U' || f == 'x' || f == 'u' || f == 'R') {
                if (f == 'i') next.i = !negated;
                if (f == 'x') next.x = !negated;
                if (f == 's') next.s = !negated;
                // RE2 has no verbose mode (done here) and is always in
                // Unicode mode; turning Unicode off is left for RE2 to refuse.
                if (f != 'x' && !(f == 'u' && !negated)) (negated ? off : on) += f;
            } else {
                break;
            }
            ++k;
        }
        const bool well_formed =
            k < pat_.size() && (pat_[k] == ')' || pat_[k] == ':') && k > pos_ + 1 && pat_[k - 1] != '-';
        if (!well_formed) {
            out_ += "(?";  // (?=, (?<=, (?#...: left for RE2 to refuse
            ++pos_;
            return true;
        }
        const bool scoped = pat_[k] == ':';
        pos_ = k + 1;
        std::string text = "(?" + on;
        if (!off.empty()) text += "-" + off;
        if (scoped) {
            flags_ = next;
            out_ += text + ":";
            return true;
        }
        // (?flags) sets the flags for the rest of the enclosing group: it
        // is no group of its own.
        const Group g = groups_.back();
        groups_.pop_back();
        seq_ = g.outer;
        flags_ = next;
        if (text != "(?") out_ += text + ")";
        seq_.last = {};
        return true;
    }

    bool named_group(std::size_t start) {
        pos_ += pat_[pos_ + 1] == 'P' ? 3 : 2;
        const std::size_t name_start = pos_;
        while (!at_end() && cur() != '>') {
            const char c = cur();
            const bool first = pos_ == name_start;
            if (!(c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
                  (!first && (is_digit(c) || c == '.' || c == '[' || c == ']')) ||
                  static_cast<unsigned char>(c) >= 0x80))
                break;
            ++pos_;
        }
        const std::string name(pat_.substr(name_start, pos_ - name_start));
        if (at_end() || cur() != '>' || name.empty() || !names_.insert(name).second) {
            if (!at_end()) pos_ += decode(pos_).second;
            return fail("invalid named capture group: " + std::string(pat_.substr(start, pos_ - start)));
        }
        ++pos_;
        out_ += message_ ? "(?P<" + name + ">" : "(?:";
        return true;
    }

    bool close_group() {
        ++pos_;
        out_ += ')';
        if (groups_.empty()) {
            seq_.last = {};  // RE2 reports the unmatched parenthesis
            return true;
        }
        const Group g = groups_.back();
        groups_.pop_back();
        const Sequence inner = seq_;
        flags_ = g.saved;
        seq_ = g.outer;
        if (!nesting_allows(inner.depth + 1)) return false;
        atom(g.out_start, inner.product, inner.copies, inner.depth + 1);
        return true;
    }

    // ---- repetitions ----

    // RE2 joins options of one character that follow each other (a?a? to
    // a{0,2}) and compiles x{0,n} as n nested options, in time quadratic in
    // n: (?:a{0,16}){2000} written out took seconds. Written as a
    // repetition of one, an option joins nothing; RE2 drops the count after.
    void keep_apart(std::size_t start) {
        out_.insert(start, "(?:");
        out_ += "){1}";
    }

    void wrap_quantified() {
        // Users' syntax allows a repetition of a repetition; RE2 wants it in
        // a group.
        out_.insert(seq_.last.start, "(?:");
        out_ += ')';
    }

    bool simple_repetition() {
        const char op = cur();
        if (seq_.last.start == std::string::npos)
            return fail(std::string("no argument for repetition operator: ") + op);
        if (!nesting_allows(seq_.last.depth + 1)) return false;
        if (seq_.last.quantified) wrap_quantified();
        ++pos_;
        out_ += op;
        if (!at_end() && cur() == '?') {
            ++pos_;
            out_ += '?';
        }
        Atom& a = seq_.last;
        if (op == '?' && !message_) keep_apart(a.start);
        // The operator's own branch instruction.
        ++a.depth;
        seq_.depth = std::max(seq_.depth, a.depth);
        ++a.copies;
        seq_.copies = std::min(seq_.copies + 1, kMaxCopies + 1);
        a.quantified = true;
        return true;
    }

    // Decimal digits, with white space around (and, in verbose mode,
    // comments between).
    bool decimal(std::uint64_t& v) {
        while (!at_end() && is_space(decode(pos_).first)) pos_ += decode(pos_).second;
        bump_space();
        std::size_t digits = 0;
        v = 0;
        while (!at_end() && is_digit(cur())) {
            v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(cur() - '0'), UINT64_MAX / 16);
            ++digits;
            ++pos_;
            bump_space();
        }
        while (!at_end() && is_space(decode(pos_).first)) pos_ += decode(pos_).second;
        return digits > 0 && v <= UINT32_MAX;
    }

    bool counted_repetition() {
        const std::size_t start = pos_;
        auto bad = [&](const char* what) {
            if (!at_end() && cur() != '}') pos_ += decode(pos_).second;  // quote the offending character
            return fail(std::string(what) + std::string(pat_.substr(start, pos_ - start)));
        };
        const bool has_atom = seq_.last.start != std::string::npos;
        ++pos_;
        std::uint64_t lo = 0, hi = 0;
        bool bounded = true;
        if (!decimal(lo)) return bad(has_atom ? "bad repetition operator: " : "no argument for repetition operator: ");
        hi = lo;
        if (!at_end() && cur() == ',') {
            ++pos_;
            bump_space();
            if (!at_end() && cur() == '}') {
                bounded = false;
            } else if (!decimal(hi)) {
                return bad("bad repetition operator: ");
            }
        }
        if (at_end() || cur() != '}') return bad("bad repetition operator: ");
        ++pos_;
        if (!has_atom) return bad("no argument for repetition operator: ");
        if (bounded && lo > hi) return bad("invalid repetition size: ");
        bool lazy = false;
        bump_space();
        if (!at_end() && cur() == '?') {
            lazy = true;
            ++pos_;
        }
        if (!nesting_allows(seq_.last.depth + 1)) return false;
        if (seq_.last.quantified) wrap_quantified();
        return repeat(lo, bounded ? hi : lo, bounded, lazy);
    }

    // Writes the operand `x` repeated lo to hi times (lo or more when not
    // bounded) so that no RE2 repetition exceeds RE2's cap, and so that RE2's
    // work stays linear in what it is given.
    bool repeat(std::uint64_t lo, std::uint64_t hi, bool bounded, bool lazy) {
        Atom& a = seq_.last;
        seq_.copies -= std::min(seq_.copies, a.copies);
        // Each optional copy costs RE2 a branch besides the operand.
        const std::uint64_t optional = bounded ? hi - lo : 1;
        const std::uint64_t copies =
            std::min(saturating_mul(a.copies, lo) + saturating_mul(a.copies + 1, optional), UINT64_MAX / 2);
        if (copies > kMaxCopies) return fail(kRegexTooLargeMessage);
        const std::string x = out_.substr(a.start);
        out_.resize(a.start);
        const std::string sfx = lazy ? "?" : "";
        auto count = [](std::uint64_t n) { return "{" + std::to_string(n) + "}"; };
        const std::uint64_t widest = std::max<std::uint64_t>(1, bounded ? hi : lo);
        // As written, for RE2's error texts that quote the pattern, and for a
        // few options, whose nesting RE2 compiles quickly and matches with
        // its fastest engine more often than options in a row.
        const bool few_options = !bounded || hi - lo <= kNestedOptions;
        if ((message_ || few_options) && saturating_mul(a.product, widest) <= kRe2MaxRepeat) {
            out_ +=
                x + "{" + std::to_string(lo) + (bounded ? (hi == lo ? "" : "," + std::to_string(hi)) : ",") + "}" + sfx;
            if (!message_ && bounded && hi > lo) keep_apart(a.start);
            a.product *= widest;
        } else {
            // Chunks of at most c copies. The optional copies are written as
            // optional operands, each preferring to be there (or, lazy, not):
            // RE2 compiles x{0,n} as n nested options, which costs it time
            // quadratic in the nesting once such repetitions follow each
            // other ((?:a{0,1000}){30} took seconds), where n options in a
            // row cost it linear time. Only the language matters: a search
            // asks where a match starts, or whether there is one.
            const std::uint64_t c = std::max<std::uint64_t>(1, kRe2MaxRepeat / a.product);
            auto chunk = [&](const std::string& piece, std::uint64_t n) {
                if (n == 0) return;
                out_ += n == 1 ? piece : piece + count(n);
            };
            for (std::uint64_t k = 0; k < lo / c; ++k) chunk(x, c);
            chunk(x, lo % c);
            if (!bounded) {
                out_ += x + "*" + sfx;
            } else {
                const std::string option = "(?:" + x + "?" + sfx + ")";
                for (std::uint64_t k = 0; k < (hi - lo) / c; ++k) chunk(option, c);
                chunk(option, (hi - lo) % c);
            }
            a.product *= std::min(c, widest);
        }
        a.copies = copies;
        a.quantified = true;
        ++a.depth;
        seq_.copies = std::min(seq_.copies + copies, kMaxCopies + 1);
        seq_.product = std::max(seq_.product, a.product);
        seq_.depth = std::max(seq_.depth, a.depth);
        return true;
    }

    // ---- bracketed classes ----

    // The items of a class so far; the ranges are normalized when the
    // union is read, so that a long class costs no sort per item.
    struct ClassUnion {
        Ranges ranges;           // every item
        Ranges literals;         // without the \w \d \s and \p{..} items
        std::string properties;  // \p{..} items as written
        std::string perl;        // \w \d \s items as written
        void add_literal(CodeRange r) {
            ranges.push_back(r);
            literals.push_back(r);
        }
        void add_set(const Ranges& r) { ranges.insert(ranges.end(), r.begin(), r.end()); }
    };
    struct ClassFrame {
        bool is_op;
        bool negated;      // open bracket
        ClassUnion outer;  // open bracket: the enclosing union so far
        SetOp op;          // operator
        Ranges lhs;        // operator
    };

    // One item of a class: a literal, a range, or an escape that stands for
    // a set.
    bool class_item(ClassUnion& u) {
        auto literal = [&](char32_t& out, bool& is_literal) {
            if (cur() != '\\') {
                const auto [c, n] = decode(pos_);
                pos_ += n;
                out = c;
                is_literal = true;
                return true;
            }
            const std::size_t start = pos_;
            Escape e;
            if (!escape(e)) return false;
            switch (e.kind) {
                case Escape::Literal:
                    out = e.code;
                    is_literal = true;
                    return true;
                case Escape::Class:
                    u.add_set(e.ranges);
                    u.perl += '\\';
                    u.perl += e.letter;
                    is_literal = false;
                    return true;
                case Escape::Property:
                    u.add_set(e.ranges);
                    u.properties += e.text;
                    is_literal = false;
                    return true;
                case Escape::Assertion:
                case Escape::Raw: break;
            }
            if (at_end()) return fail("missing ]: " + std::string(pat_.substr(class_start_)));
            return fail("invalid escape sequence: " + std::string(pat_.substr(start, pos_ - start)));
        };
        const std::size_t start = pos_;
        char32_t lo = 0, hi = 0;
        bool lo_literal = false, hi_literal = false;
        if (!literal(lo, lo_literal)) return false;
        bump_space();
        if (at_end()) return true;  // the caller reports the missing ]
        const char after = peek_space(pos_ + 1);
        if (cur() != '-' || after == ']' || after == '-') {
            if (lo_literal) u.add_literal({lo, lo});
            return true;
        }
        ++pos_;
        bump_space();
        if (at_end()) return true;
        if (!literal(hi, hi_literal)) return false;
        if (!lo_literal || !hi_literal || lo > hi)
            return fail("invalid character class range: " + std::string(pat_.substr(start, pos_ - start)));
        u.add_literal({lo, hi});
        return true;
    }

    // After a [ : reads ^ and the leading - and ] that stand for themselves.
    bool open_bracket(bool& negated, ClassUnion& u) {
        ++pos_;
        bump_space();
        negated = false;
        if (!at_end() && cur() == '^') {
            negated = true;
            ++pos_;
            bump_space();
        }
        bool any = false;
        while (!at_end() && cur() == '-') {
            u.add_literal({'-', '-'});
            any = true;
            ++pos_;
            bump_space();
        }
        if (!any && !at_end() && cur() == ']') {
            u.add_literal({']', ']'});
            ++pos_;
            bump_space();
        }
        return true;
    }

    // [:name:] or [:^name:] at pos_.
    bool ascii_class_item(ClassUnion& u) {
        std::string_view rest = pat_.substr(pos_);
        if (!rest.starts_with("[:")) return false;
        const std::size_t close = rest.find(":]", 2);
        if (close == std::string_view::npos) return false;
        std::string_view name = rest.substr(2, close - 2);
        const bool negated = name.starts_with('^');
        if (negated) name.remove_prefix(1);
        const auto r = unicode::ascii_class(name);
        if (!r) return false;
        for (const CodeRange& x : negated ? complement(*r) : *r) u.add_literal(x);
        pos_ += close + 2;
        return true;
    }

    // The set a union stands for, combined with a pending operator's left
    // side; both sides fold first in case-insensitive mode.
    bool apply_op(std::vector<ClassFrame>& stack, const ClassUnion& u, Ranges& out) {
        Ranges rhs = u.ranges;
        normalize(rhs);
        if (stack.empty() || !stack.back().is_op) {
            out = std::move(rhs);
            return true;
        }
        ClassFrame f = std::move(stack.back());
        stack.pop_back();
        Ranges lhs = std::move(f.lhs);
        if (flags_.i) {
            case_fold(lhs);
            case_fold(rhs);
        }
        switch (f.op) {
            case SetOp::Intersection: out = intersect(lhs, rhs); break;
            case SetOp::Difference: out = intersect(lhs, complement(rhs)); break;
            case SetOp::SymmetricDifference:
                out = intersect(lhs, complement(rhs));
                add_all(out, intersect(rhs, complement(lhs)));
                break;
        }
        return true;
    }

    bool bracketed_class() {
        const std::size_t start = pos_;
        class_start_ = start;
        auto unclosed = [&] { return fail("missing ]: " + std::string(pat_.substr(start))); };
        std::vector<ClassFrame> stack;
        bool set_algebra = false;
        ClassUnion u;
        bool negated = false;
        open_bracket(negated, u);
        stack.push_back({false, negated, {}, SetOp::Intersection, {}});
        std::uint32_t brackets = 1, deepest = 1;
        while (true) {
            bump_space();
            if (at_end()) return unclosed();
            const std::string_view rest = pat_.substr(pos_);
            if (cur() == '[') {
                if (ascii_class_item(u)) continue;
                set_algebra = true;
                if (!nesting_allows(++brackets)) return false;
                deepest = std::max(deepest, brackets);
                ClassUnion inner;
                open_bracket(negated, inner);
                stack.push_back({false, negated, std::move(u), SetOp::Intersection, {}});
                u = std::move(inner);
            } else if (cur() == ']') {
                ++pos_;
                const std::size_t out_start = out_.size();
                normalize(u.ranges);
                if (!set_algebra && message_) {
                    normalize(u.literals);
                    out_ += stack.back().negated ? "[^" : "[";
                    append_ranges(out_, u.literals);
                    out_ += u.properties;
                    out_ += u.perl;
                    out_ += ']';
                    atom(out_start, 1, u.ranges.size(), deepest);
                    return true;
                }
                if (!set_algebra) {
                    // A plain class is negated here, not by RE2, whose
                    // complement holds the surrogates: folded first, as RE2
                    // and users' syntax do. RE2 folds a positive class itself.
                    Ranges set = unicode::scalars_of(std::move(u.ranges));
                    if (stack.back().negated) {
                        if (flags_.i) case_fold(set);
                        set = complement(set);
                    }
                    append_class(out_, set);
                    atom(out_start, 1, set.size(), deepest);
                    return true;
                }
                Ranges set;
                if (!apply_op(stack, u, set)) return false;
                ClassFrame open = std::move(stack.back());
                stack.pop_back();
                // Each bracket, nested or not, is folded and negated on its own.
                if (flags_.i) case_fold(set);
                if (open.negated) set = complement(set);
                if (!stack.empty()) {
                    --brackets;
                    u = std::move(open.outer);
                    add_all(u.ranges, set);
                    continue;
                }
                set = unicode::scalars_of(std::move(set));
                append_class(out_, set);
                atom(out_start, 1, set.size(), deepest);
                return true;
            } else if (rest.starts_with("&&") || rest.starts_with("--") || rest.starts_with("~~")) {
                set_algebra = true;
                const SetOp op = rest[0] == '&'   ? SetOp::Intersection
                                 : rest[0] == '-' ? SetOp::Difference
                                                  : SetOp::SymmetricDifference;
                pos_ += 2;
                Ranges lhs;
                if (!apply_op(stack, u, lhs)) return false;
                stack.push_back({true, false, {}, op, std::move(lhs)});
                u = {};
            } else {
                if (!class_item(u)) return false;
            }
        }
    }
};

}  // namespace

platform::Result<std::string, std::string> translate_regex(std::string_view pattern, const RegexOptions& opt,
                                                           bool for_message) {
    return Translator(pattern, opt, for_message).run();
}

std::unique_ptr<re2::RE2> compile_translated(const std::string& pattern, const RegexOptions& opt) {
    re2::RE2::Options o;
    o.set_encoding(re2::RE2::Options::EncodingUTF8);
    o.set_case_sensitive(!opt.case_insensitive);
    o.set_dot_nl(opt.dot_nl);
    o.set_max_mem(kRegexMemoryBudget);
    o.set_log_errors(false);
    // Multi-line mode has no option outside POSIX syntax (which would also
    // drop the Perl classes), so it is set by the inline flag.
    return std::make_unique<re2::RE2>(opt.multi_line ? "(?m)" + pattern : pattern, o);
}

platform::Result<CompiledRegex, std::string> compile_regex(std::string_view pattern, const RegexOptions& opt) {
    if (!platform::is_valid_utf8(pattern)) {
        auto raw = compile_translated(std::string(pattern), opt);
        return platform::Err{raw->ok() ? std::string("invalid UTF-8") : raw->error()};
    }
    auto translated = translate_regex(pattern, opt);
    if (!translated) return platform::Err{std::move(translated).error()};
    std::shared_ptr<const re2::RE2> re = compile_translated(*translated, opt);
    CompiledRegex out{re, std::move(*translated)};
    if (re->ok()) return out;
    if (out.re->error_code() == re2::RE2::ErrorPatternTooLarge)
        return platform::Err{std::string(kRegexTooLargeMessage)};
    // RE2's message quotes the pattern: quote the short form, as the user
    // wrote it, without an added flag.
    auto shown = translate_regex(pattern, opt, true);
    if (shown) {
        RegexOptions plain = opt;
        plain.multi_line = false;
        // The short form spells \p{..} items as written, which RE2 may not
        // know: only the same fault is the one to quote.
        auto again = compile_translated(*shown, plain);
        if (!again->ok() && again->error_code() == re->error_code()) return platform::Err{again->error()};
    }
    return platform::Err{out.re->error()};
}

namespace {

// The last few compiled expressions, newest last. A handful covers one
// search's texts and predicate; more would only keep dead programs alive.
class RegexCache {
public:
    using Compiled = platform::Result<CompiledRegex, std::string>;

    template <typename Compile>
    Compiled get(bool translated, std::string_view pattern, const RegexOptions& opt, Compile compile) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (const Entry& e : entries_)
                if (e.translated == translated && e.pattern == pattern && same(e.opt, opt)) return e.compiled;
        }
        // Compiled outside the lock: another thread's expression need not wait.
        Entry e{translated, std::string(pattern), opt, compile()};
        const std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() == kEntries) entries_.erase(entries_.begin());
        entries_.push_back(e);
        return std::move(e.compiled);
    }

private:
    static constexpr std::size_t kEntries = 8;
    struct Entry {
        bool translated;  // the pattern is RE2's own, not a user's
        std::string pattern;
        RegexOptions opt;
        Compiled compiled;
    };
    static bool same(const RegexOptions& a, const RegexOptions& b) {
        return a.case_insensitive == b.case_insensitive && a.multi_line == b.multi_line && a.dot_nl == b.dot_nl;
    }
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

RegexCache& regex_cache() {
    static RegexCache cache;
    return cache;
}

}  // namespace

platform::Result<CompiledRegex, std::string> shared_regex(std::string_view pattern, const RegexOptions& opt) {
    return regex_cache().get(false, pattern, opt, [&] { return compile_regex(pattern, opt); });
}

std::shared_ptr<const re2::RE2> shared_translated(const std::string& pattern, const RegexOptions& opt) {
    auto got = regex_cache().get(true, pattern, opt, [&]() -> RegexCache::Compiled {
        return CompiledRegex{compile_translated(pattern, opt), pattern};
    });
    return got->re;
}

}  // namespace rova_rudo
