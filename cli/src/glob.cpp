// No Debian package offers this matching (per-component `**`, sorted
// per-directory order, leading dots matched), so it is written here on
// std::filesystem.
#include "cli/glob.hpp"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace cli {

namespace fs = std::filesystem;

namespace {

// Decodes UTF-8 into code points; a byte that does not start a valid
// sequence stands for itself (offset into a private range) so that odd file
// names still match literally and by '?'.
void decode_into(std::string_view s, std::vector<std::uint32_t>& out) {
    out.clear();
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        bool good = len != 0 && i + len <= s.size();
        std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t k = 1; good && k < len; ++k) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) good = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (good) {
            out.push_back(cp);
            i += len;
        } else {
            out.push_back(0x110000u + b);
            ++i;
        }
    }
}

std::vector<std::uint32_t> decode(std::string_view s) {
    std::vector<std::uint32_t> out;
    decode_into(s, out);
    return out;
}

enum class TokKind { Char, Any, Star, Set };

struct Tok {
    TokKind kind;
    std::uint32_t ch = 0;                                         // Char
    bool negated = false;                                         // Set
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // Set
};

struct Component {
    std::string text;  // as written
    bool recursive = false;
    bool literal = true;
    std::vector<Tok> toks;
};

Tok tok(TokKind kind, std::uint32_t ch = 0) {
    Tok t;
    t.kind = kind;
    t.ch = ch;
    return t;
}

bool set_has(const Tok& t, std::uint32_t c) {
    bool in = false;
    for (auto [lo, hi] : t.ranges)
        if (c >= lo && c <= hi) in = true;
    return in != t.negated;
}

// Backtracking match of one component; only the last '*' seen needs to be
// retried, so this is linear in practice and never recursive.
bool match_component(const std::vector<Tok>& toks, const std::vector<std::uint32_t>& name) {
    std::size_t t = 0, n = 0;
    std::size_t star_t = SIZE_MAX, star_n = 0;
    while (n < name.size()) {
        if (t < toks.size()) {
            const Tok& k = toks[t];
            if (k.kind == TokKind::Star) {
                star_t = t++;
                star_n = n;
                continue;
            }
            bool ok = (k.kind == TokKind::Any) || (k.kind == TokKind::Char && k.ch == name[n]) ||
                      (k.kind == TokKind::Set && set_has(k, name[n]));
            if (ok) {
                ++t;
                ++n;
                continue;
            }
        }
        if (star_t == SIZE_MAX) return false;
        t = star_t + 1;
        n = ++star_n;
    }
    while (t < toks.size() && toks[t].kind == TokKind::Star) ++t;
    return t == toks.size();
}

platform::Result<std::vector<Component>, GlobError> compile(std::string_view pattern, bool& absolute) {
    std::vector<std::uint32_t> cps = decode(pattern);
    std::vector<Component> comps;
    absolute = !cps.empty() && cps[0] == '/';
    Component cur;
    std::size_t comp_start = 0;  // character index where `cur` starts
    std::size_t byte_pos = 0;    // byte offset matching character index i
    std::size_t comp_byte_start = 0;
    auto char_bytes = [&](std::size_t i) -> std::size_t {
        std::uint32_t c = cps[i];
        if (c >= 0x110000u) return 1;
        return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    };
    auto finish = [&](std::size_t end_byte) {
        cur.text = std::string(pattern.substr(comp_byte_start, end_byte - comp_byte_start));
        if (!cur.text.empty()) comps.push_back(std::move(cur));
        cur = Component{};
    };
    std::size_t i = 0;
    while (i < cps.size()) {
        std::uint32_t c = cps[i];
        if (c == '/') {
            finish(byte_pos);
            byte_pos += 1;
            ++i;
            comp_start = i;
            comp_byte_start = byte_pos;
            continue;
        }
        if (c == '*') {
            std::size_t run = i;
            while (i < cps.size() && cps[i] == '*') byte_pos += 1, ++i;
            std::size_t count = i - run;
            if (count >= 3)
                return platform::Err{GlobError{run + 2, "wildcards are either regular `*` or recursive `**`"}};
            if (count == 2) {
                if (run != comp_start)
                    return platform::Err{GlobError{run - 1, "recursive wildcards must form a single path component"}};
                if (i < cps.size() && cps[i] != '/')
                    return platform::Err{GlobError{i, "recursive wildcards must form a single path component"}};
                cur.recursive = true;
                cur.literal = false;
                continue;
            }
            cur.literal = false;
            cur.toks.push_back(tok(TokKind::Star));
            continue;
        }
        if (c == '?') {
            cur.literal = false;
            cur.toks.push_back(tok(TokKind::Any));
            byte_pos += 1;
            ++i;
            continue;
        }
        if (c == '[') {
            std::size_t open = i;
            std::size_t j = i + 1;
            Tok set = tok(TokKind::Set);
            if (j < cps.size() && cps[j] == '!') {
                set.negated = true;
                ++j;
            }
            std::size_t first = j;
            // A ']' in the first place is a member, not the end.
            std::size_t close = SIZE_MAX;
            for (std::size_t k = first + (first < cps.size() && cps[first] == ']' ? 1 : 0); k < cps.size(); ++k) {
                if (cps[k] == '/') break;
                if (cps[k] == ']') {
                    close = k;
                    break;
                }
            }
            if (close == SIZE_MAX) return platform::Err{GlobError{open, "invalid range pattern"}};
            for (std::size_t k = first; k < close; ++k) {
                if (k + 2 < close && cps[k + 1] == '-') {
                    set.ranges.emplace_back(cps[k], cps[k + 2]);
                    k += 2;
                } else {
                    set.ranges.emplace_back(cps[k], cps[k]);
                }
            }
            for (std::size_t k = i; k <= close; ++k) byte_pos += char_bytes(k);
            i = close + 1;
            cur.literal = false;
            cur.toks.push_back(std::move(set));
            continue;
        }
        cur.toks.push_back(tok(TokKind::Char, c));
        byte_pos += char_bytes(i);
        ++i;
    }
    finish(byte_pos);
    return comps;
}

// Walks the directories with a stack of its own rather than by recursion,
// so that however deep a tree is, the walk's depth costs heap, not stack.
// Paths come out as a walk in turn would give them: each directory's
// entries in sorted order, and everything an entry leads to before the
// next entry.
class Expander {
public:
    Expander(const std::vector<Component>& comps, const GlobSink& found)
        : comps_(comps),
          found_(found),
          // With one `**` at most, every path is reached one way only.
          may_repeat_(std::count_if(comps.begin(), comps.end(), [](const Component& c) { return c.recursive; }) > 1) {}

    void run(const std::string& root) {
        walk(root, 0);
        while (!pending_.empty()) {
            Directory& d = pending_.back();
            if (!d.listed_yet) {
                d.listed = list(d.dir);
                std::sort(d.listed.begin(), d.listed.end());
                d.listed_yet = true;
                if (comps_[d.idx].recursive) descent_.push_back(d.dir.empty() ? "." : d.dir);
            }
            if (d.next == d.listed.size()) {
                if (comps_[d.idx].recursive) descent_.pop_back();
                pending_.pop_back();
                continue;
            }
            // What the entry leads to is pushed on top of `d` (a deque keeps
            // `d` and its entries in place), and so is walked before the
            // entries after it.
            entry(d.dir, d.listed[d.next++], d.idx);
        }
    }

private:
    static std::string join(const std::string& dir, const std::string& name) {
        if (dir.empty()) return name;
        if (dir.back() == '/') return dir + name;
        return dir + "/" + name;
    }

    void emit(std::string p, bool regular) {
        if (!may_repeat_ || seen_.insert(p).second) found_(std::move(p), regular);
    }

    // The path `dir` facing component `idx`: the components spelled out are
    // followed at once, and a directory to be listed waits its turn.
    void walk(std::string dir, std::size_t idx) {
        for (;; ++idx) {
            const Component& c = comps_[idx];
            if (!c.literal) {
                pending_.push_back({std::move(dir), idx});
                return;
            }
            std::string p = join(dir, c.text);
            std::error_code ec;
            if (idx + 1 == comps_.size()) {
                if (fs::exists(p, ec)) emit(std::move(p), false);
                return;
            }
            if (!fs::is_directory(p, ec)) return;
            dir = std::move(p);
        }
    }

    // A directory entry's name and what it is itself (a link not followed),
    // as the directory listing gave it: most file systems say, and then no
    // entry of a large tree costs a status call of its own.
    enum class Own : std::uint8_t { Unknown, Directory, Link, Regular, Other };
    struct Listed {
        std::string name;
        Own own = Own::Unknown;
        bool operator<(const Listed& o) const { return name < o.name; }
    };

    // A directory whose entries face component `idx`: listed when its turn
    // comes, then its entries taken one at a time from `next` on.
    struct Directory {
        std::string dir;
        std::size_t idx;
        std::vector<Listed> listed = {};
        std::size_t next = 0;
        bool listed_yet = false;
    };

    static Own own_kind(unsigned char type) {
        switch (type) {
            case DT_UNKNOWN: return Own::Unknown;
            case DT_DIR: return Own::Directory;
            case DT_LNK: return Own::Link;
            case DT_REG: return Own::Regular;
            default: return Own::Other;
        }
    }

    // The entries of `dir` but "." and "..", unsorted; none when it cannot
    // be listed, those read before a failure when the listing breaks off.
    static std::vector<Listed> list(const std::string& dir) {
        std::vector<Listed> listed;
        DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
        if (!d) return listed;
        // A listing that fails part-way gives what it listed: as with a
        // directory that cannot be opened, a glob skips what it cannot read.
        for (;;) {
            const dirent* e = ::readdir(d);
            if (!e) break;
            const std::string_view name(e->d_name);
            if (name == "." || name == "..") continue;
            listed.push_back({std::string(name), own_kind(e->d_type)});
        }
        ::closedir(d);
        return listed;
    }

    // Whether `p`, listed as `own`, is a directory or a link to one.
    static bool leads_to_directory(const std::string& p, Own own) {
        std::error_code ec;
        if (own == Own::Directory) return true;
        if (own == Own::Regular || own == Own::Other) return false;
        return fs::is_directory(p, ec);
    }

    // A linked directory is entered under `**` unless it leads back to a
    // directory this descent is already inside: that is what a link cycle
    // looks like, and entering it would never end.
    bool closes_a_cycle(const std::string& p) const {
        std::error_code ec;
        for (const std::string& d : descent_)
            if (fs::equivalent(p, d, ec)) return true;
        return false;
    }

    // The entry `l` of `dir` facing component `idx`.
    void entry(const std::string& dir, const Listed& l, std::size_t idx) {
        for (; comps_[idx].recursive; ++idx) {
            // One or more directories, with the `**` still in force: walked
            // after what zero directories (below) lead to, as it is pushed
            // before them.
            Own own = l.own;
            if (own != Own::Regular && own != Own::Other) {
                std::string p = join(dir, l.name);
                if (own == Own::Unknown) {
                    std::error_code ec;
                    const fs::file_status st = fs::symlink_status(p, ec);
                    own = fs::is_symlink(st) ? Own::Link : fs::is_directory(st) ? Own::Directory : Own::Other;
                }
                if (own == Own::Directory || (own == Own::Link && leads_to_directory(p, own) && !closes_a_cycle(p)))
                    pending_.push_back({std::move(p), idx});
            }
            // Zero directories: the entry itself faces the next component.
            if (idx + 1 == comps_.size()) {
                emit(join(dir, l.name), l.own == Own::Regular);
                return;
            }
        }
        const Component& c = comps_[idx];
        if (c.literal) {
            if (l.name != c.text) return;
        } else {
            decode_into(l.name, name_);
            if (!match_component(c.toks, name_)) return;
        }
        std::string p = join(dir, l.name);
        if (idx + 1 == comps_.size()) emit(std::move(p), l.own == Own::Regular);
        else if (leads_to_directory(p, l.own)) walk(std::move(p), idx + 1);
    }

    const std::vector<Component>& comps_;
    const GlobSink& found_;
    const bool may_repeat_;
    std::deque<Directory> pending_;     // the directories still to walk, the next at the back
    std::set<std::string> seen_;        // the paths found, when one may be reached twice
    std::vector<std::uint32_t> name_;   // scratch: an entry's name decoded
    std::vector<std::string> descent_;  // directories a `**` has entered, outermost first
};

}  // namespace

std::string GlobError::text() const {
    return "Pattern syntax error near position " + std::to_string(position) + ": " + message;
}

bool has_glob_chars(std::string_view s) { return s.find_first_of("*?[") != std::string_view::npos; }

struct Glob::Compiled {
    std::vector<Component> comps;
    bool absolute = false;
};

Glob::Glob(std::unique_ptr<Compiled> c) : compiled_(std::move(c)) {}
Glob::Glob(Glob&&) noexcept = default;
Glob& Glob::operator=(Glob&&) noexcept = default;
Glob::~Glob() = default;

platform::Result<Glob, GlobError> Glob::compile(std::string_view pattern) {
    auto c = std::make_unique<Compiled>();
    auto comps = cli::compile(pattern, c->absolute);
    if (!comps) return platform::Err{std::move(comps.error())};
    c->comps = std::move(*comps);
    return Glob(std::move(c));
}

void Glob::walk(const GlobSink& found) const {
    if (compiled_->comps.empty()) return;
    Expander ex(compiled_->comps, found);
    ex.run(compiled_->absolute ? "/" : "");
}

platform::Result<std::vector<std::string>, GlobError> expand_glob(std::string_view pattern) {
    auto glob = Glob::compile(pattern);
    if (!glob) return platform::Err{std::move(glob.error())};
    std::vector<std::string> out;
    glob->walk([&out](std::string path, bool) { out.push_back(std::move(path)); });
    return out;
}

}  // namespace cli
