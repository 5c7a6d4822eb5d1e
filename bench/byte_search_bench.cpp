// Substring search throughput over the real sample documents: the finder
// against glibc memmem and std::string_view::find, counting every occurrence
// as the raw-byte prefilter does. Also the either-of-two-bytes search against
// a plain loop, and the ASCII case-insensitive search against glibc strcasestr.
// Usage: byte_search_bench [corpus_dir] (default: testdata/real).
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
        "id", "\"name\"", "url", "screen_name", "coordinates", "zqxjv", "-122.", "\": ",
        "https://api.github.com/repos", "\"profile_background_image_url_https\"",
        "this needle of some forty bytes is absent",
    };
    std::printf("%-44s %8s %9s %9s %9s %7s %7s\n", "needle", "hits", "ours", "memmem", "sv::find", "/memmem", "/sv");
    double worst_vs_memmem = 1e9;
    for (const auto& nd : needles) {
        std::size_t a = 0, b = 0, c = 0;
        const double ga = best_gbps(hay, [&] { return count_all(hay, nd, ours); }, a);
        const double gb = best_gbps(hay, [&] { return count_all(hay, nd, glibc); }, b);
        const double gc = best_gbps(hay, [&] { return count_all(hay, nd, stl); }, c);
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
        const double ga = best_gbps(hay, [&] { return run(find_either_byte); }, a);
        const double gb = best_gbps(hay, [&] { return run(loop2); }, b);
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
        const double ga = best_gbps(hay, [&] {
            std::size_t n = 0, p = 0;
            while (p <= hay.size()) {
                auto k = ascii_nocase_find(nd, hay.substr(p));
                if (!k) break;
                ++n;
                p += *k + 1;
            }
            return n;
        }, a);
        const double gb = best_gbps(hay, [&] {
            std::size_t n = 0;
            const char* p = base;
            while ((p = strcasestr(p, term.c_str())) != nullptr) {
                ++n;
                ++p;
            }
            return n;
        }, b);
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
            while (i < m && static_cast<char>(std::tolower(static_cast<unsigned char>(hay[c + i]))) == nd.lowered[i]) ++i;
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
        const double ga = best_gbps(hay, [&] {
            all.clear();
            find_all_ascii_nocase(hay, nd.lowered, nd.probe, all);
            return all.size();
        }, a);
        const double gb = best_gbps(hay, [&] {
            before = first_byte_scan(nd);
            return before.size();
        }, b);
        if (all != before) std::printf("MISMATCH for %s: %zu %zu\n", term.c_str(), a, b);
        std::printf("%-28s %8zu %7.2f G %9.2f G %6.2fx\n", ("'" + term + "'").c_str(), a, ga, gb, ga / gb);
    }
    return 0;
}
