// Substring search throughput over the real sample documents: the finder
// against glibc memmem and std::string_view::find, counting every occurrence
// as the raw-byte prefilter does. Also the either-of-two-bytes search against
// a plain loop, and the ASCII case-insensitive search against glibc strcasestr.
// Last, a user's regular expression as the raw scan iterates its matches
// (case-insensitive, as --regex is by default): RE2 on the text as written
// (A) against the pattern the translation hands RE2 (B), rounds alternating,
// with the cost of each compile. Above the line both mean the same; below it
// B reads \d \w \s as the Unicode classes, and the ratio is their price.
// Usage: byte_search_bench [corpus_dir] (default: testdata/real).
#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "rova_rudo/byte_search.hpp"
#include "rova_rudo/matcher.hpp"
#include "rova_rudo/regex.hpp"

using namespace rova_rudo;

namespace {

std::string load_corpus(const std::string& dir) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        all += ss.str();
    }
    return all;
}

template <typename Find>
std::size_t count_all(std::string_view hay, std::string_view needle, Find find) {
    std::size_t n = 0, p = 0;
    while (p <= hay.size()) {
        const std::size_t k = find(hay.substr(p), needle);
        if (k == kNotFound) break;
        ++n;
        p += k + 1;
    }
    return n;
}

// Best of several rounds, in GB/s.
double best_gbps(std::string_view hay, const std::function<std::size_t()>& run, std::size_t& result) {
    double best = 0;
    for (int r = 0; r < 7; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        result = run();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::max(best, hay.size() / s / 1e9);
    }
    return best;
}

std::size_t count_regex_matches(std::string_view hay, const re2::RE2& re) {
    std::size_t n = 0, pos = 0;
    re2::StringPiece m;
    while (pos <= hay.size() && re.Match(hay, pos, hay.size(), re2::RE2::UNANCHORED, &m, 1)) {
        ++n;
        const std::size_t at = static_cast<std::size_t>(m.data() - hay.data());
        pos = m.empty() ? at + 1 : at + m.size();
    }
    return n;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void regex_rows(std::string_view hay) {
    std::printf("\n%-20s %10s %10s %8s %8s %7s %8s %8s\n", "regex", "compile A", "compile B", "A GB/s", "B GB/s", "B/A",
                "A hits", "B hits");
    const RegexOptions opt{.case_insensitive = true};
    for (const std::string p : {"aym0566x", "[0-9]{4}-[0-9]{2}", "https?://[a-z.]+/", "\"id\":[0-9]+,", "(?:ab|cd)e",
                                "", "\\d{4}-\\d{2}", "\\w+@\\w+", "\\s+\""}) {
        if (p.empty()) {
            std::printf("%s\n", std::string(87, '-').c_str());
            continue;
        }
        double compile_a = 1e300, compile_b = 1e300, scan_a = 1e300, scan_b = 1e300;
        std::size_t hits_a = 0, hits_b = 0;
        for (int round = 0; round < 7; ++round) {
            auto t = std::chrono::steady_clock::now();
            const auto a = compile_translated(p, opt);
            compile_a = std::min(compile_a, seconds_since(t));
            t = std::chrono::steady_clock::now();
            const auto b = compile_regex(p, opt);
            compile_b = std::min(compile_b, seconds_since(t));
            if (!a->ok() || !b) {
                std::printf("%s: does not compile\n", p.c_str());
                return;
            }
            t = std::chrono::steady_clock::now();
            hits_a = count_regex_matches(hay, *a);
            scan_a = std::min(scan_a, seconds_since(t));
            t = std::chrono::steady_clock::now();
            hits_b = count_regex_matches(hay, *b->re);
            scan_b = std::min(scan_b, seconds_since(t));
        }
        std::printf("%-20s %8.0fus %8.0fus %8.2f %8.2f %7.3f %8zu %8zu\n", p.c_str(), compile_a * 1e6, compile_b * 1e6,
                    hay.size() / scan_a / 1e9, hay.size() / scan_b / 1e9, scan_b / scan_a, hits_a, hits_b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : QM_TESTDATA_DIR "/real";
    const std::string corpus = load_corpus(dir);
    const std::string_view hay = corpus;
    std::printf("corpus: %zu bytes from %s\n\n", hay.size(), dir.c_str());

    auto ours = [](std::string_view h, std::string_view n) { return find_substring(h, n); };
    auto glibc = [](std::string_view h, std::string_view n) -> std::size_t {
        const void* r = memmem(h.data(), h.size(), n.data(), n.size());
        return r ? static_cast<std::size_t>(static_cast<const char*>(r) - h.data()) : kNotFound;
    };
    auto stl = [](std::string_view h, std::string_view n) { return h.find(n); };

    const std::vector<std::string> needles = {
        "id",
        "\"name\"",
        "url",
        "screen_name",
        "coordinates",
        "zqxjv",
        "-122.",
        "\": ",
        "https://api.github.com/repos",
        "\"profile_background_image_url_https\"",
        "this needle of some forty bytes is absent",
    };
    std::printf("%-44s %8s %9s %9s %9s %7s %7s\n", "needle", "hits", "ours", "memmem", "sv::find", "/memmem", "/sv");
    double worst_vs_memmem = 1e9;
    for (const auto& nd : needles) {
        std::size_t a = 0, b = 0, c = 0;
        const double ga = best_gbps(
            hay, [&] { return count_all(hay, nd, ours); }, a);
        const double gb = best_gbps(
            hay, [&] { return count_all(hay, nd, glibc); }, b);
        const double gc = best_gbps(
            hay, [&] { return count_all(hay, nd, stl); }, c);
        if (a != b || a != c) std::printf("MISMATCH for %s: %zu %zu %zu\n", nd.c_str(), a, b, c);
        worst_vs_memmem = std::min(worst_vs_memmem, ga / gb);
        std::printf("%-44s %8zu %7.2f G %7.2f G %7.2f G %6.2fx %6.2fx\n", ("'" + nd + "'").c_str(), a, ga, gb, gc,
                    ga / gb, ga / gc);
    }
    std::printf("\nworst ratio ours/memmem: %.2fx\n\n", worst_vs_memmem);

    // The two-byte search as scan_string uses it: from each hit to the next.
    auto loop2 = [](std::string_view h, char x, char y) -> std::size_t {
        for (std::size_t i = 0; i < h.size(); ++i)
            if (h[i] == x || h[i] == y) return i;
        return kNotFound;
    };
    for (const auto& [x, y] : std::vector<std::pair<char, char>>{{'"', '\\'}, {'q', 'Q'}, {'\x01', '\x02'}}) {
        std::size_t a = 0, b = 0;
        auto run = [&](auto f) {
            std::size_t n = 0, p = 0;
            while (p < hay.size()) {
                const std::size_t k = f(hay.substr(p), x, y);
                if (k == kNotFound) break;
                ++n;
                p += k + 1;
            }
            return n;
        };
        const double ga = best_gbps(
            hay, [&] { return run(find_either_byte); }, a);
        const double gb = best_gbps(
            hay, [&] { return run(loop2); }, b);
        if (a != b) std::printf("MISMATCH for either %d %d\n", x, y);
        std::printf("either 0x%02X|0x%02X: %8zu hits  ours %6.2f G  loop %6.2f G  %5.2fx\n", x, y, a, ga, gb, ga / gb);
    }

    // Case-insensitive terms, the default search: every occurrence, as the
    // raw-byte prefilter collects them.
    std::printf("\n%-28s %8s %9s %11s %7s\n", "nocase term", "hits", "ours", "strcasestr", "ratio");
    const char* base = corpus.c_str();  // NUL-terminated, and the corpus holds no NUL
    for (const std::string term : {"error", "Name", "e", "url", "coordinates", "zqxjv", "Screen_Name", "true"}) {
        auto built = build_text_matcher(term, false, false);
        const AsciiNoCaseNeedle nd = built->ascii_needle();
        std::size_t a = 0, b = 0;
        const double ga = best_gbps(
            hay,
            [&] {
                std::size_t n = 0, p = 0;
                while (p <= hay.size()) {
                    auto k = ascii_nocase_find(nd, hay.substr(p));
                    if (!k) break;
                    ++n;
                    p += *k + 1;
                }
                return n;
            },
            a);
        const double gb = best_gbps(
            hay,
            [&] {
                std::size_t n = 0;
                const char* p = base;
                while ((p = strcasestr(p, term.c_str())) != nullptr) {
                    ++n;
                    ++p;
                }
                return n;
            },
            b);
        if (a != b) std::printf("MISMATCH for %s: %zu %zu\n", term.c_str(), a, b);
        std::printf("%-28s %8zu %7.2f G %9.2f G %6.2fx\n", ("'" + term + "'").c_str(), a, ga, gb, ga / gb);
    }

    // The raw-byte prefilter's candidate list, against a scan for the first
    // byte in either case with each candidate checked in full (what it was
    // before it bounded the checking).
    std::printf("\n%-28s %8s %9s %11s %7s\n", "nocase prefilter", "hits", "all", "first-byte", "ratio");
    auto first_byte_scan = [&](const AsciiNoCaseNeedle& nd) {
        std::vector<std::uint64_t> out;
        const std::size_t m = nd.lowered.size();
        const std::size_t end = hay.size() - m + 1;
        for (std::size_t pos = 0; pos < end;) {
            const std::size_t k = find_either_byte(hay.substr(pos, end - pos), static_cast<char>(nd.first),
                                                   static_cast<char>(nd.first_alt));
            if (k == kNotFound) break;
            const std::size_t c = pos + k;
            std::size_t i = 1;
            while (i < m && static_cast<char>(std::tolower(static_cast<unsigned char>(hay[c + i]))) == nd.lowered[i])
                ++i;
            if (i == m) out.push_back(c);
            pos = c + 1;
        }
        return out;
    };
    for (const std::string term : {"error", "Name", "e", "url", "coordinates", "zqxjv", "Screen_Name", "true"}) {
        auto built = build_text_matcher(term, false, false);
        const AsciiNoCaseNeedle nd = built->ascii_needle();
        std::vector<std::uint64_t> all, before;
        std::size_t a = 0, b = 0;
        const double ga = best_gbps(
            hay,
            [&] {
                all.clear();
                find_all_ascii_nocase(hay, nd.lowered, nd.probe, all);
                return all.size();
            },
            a);
        const double gb = best_gbps(
            hay,
            [&] {
                before = first_byte_scan(nd);
                return before.size();
            },
            b);
        if (all != before) std::printf("MISMATCH for %s: %zu %zu\n", term.c_str(), a, b);
        std::printf("%-28s %8zu %7.2f G %9.2f G %6.2fx\n", ("'" + term + "'").c_str(), a, ga, gb, ga / gb);
    }

    regex_rows(hay);
    return 0;
}
