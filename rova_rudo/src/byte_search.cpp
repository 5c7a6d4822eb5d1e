#include "rova_rudo/byte_search.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace rova_rudo {

namespace {

inline __m256i load32(const char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

inline std::uint32_t eq_mask(__m256i x, __m256i v) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, v)));
}

}  // namespace

std::size_t find_either_byte(std::string_view hay, char a, char b) {
    const char* p = hay.data();
    const std::size_t n = hay.size();
    if (n < 32) {
        for (std::size_t i = 0; i < n; ++i)
            if (p[i] == a || p[i] == b) return i;
        return kNotFound;
    }
    const __m256i va = _mm256_set1_epi8(a);
    const __m256i vb = _mm256_set1_epi8(b);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m256i x = load32(p + i);
        const __m256i y = load32(p + i + 32);
        const __m256i hx = _mm256_or_si256(_mm256_cmpeq_epi8(x, va), _mm256_cmpeq_epi8(x, vb));
        const __m256i hy = _mm256_or_si256(_mm256_cmpeq_epi8(y, va), _mm256_cmpeq_epi8(y, vb));
        if (!_mm256_testz_si256(_mm256_or_si256(hx, hy), _mm256_or_si256(hx, hy))) {
            const std::uint32_t mx = static_cast<std::uint32_t>(_mm256_movemask_epi8(hx));
            if (mx) return i + static_cast<std::size_t>(__builtin_ctz(mx));
            const std::uint32_t my = static_cast<std::uint32_t>(_mm256_movemask_epi8(hy));
            return i + 32 + static_cast<std::size_t>(__builtin_ctz(my));
        }
    }
    for (; i + 32 <= n; i += 32) {
        const __m256i x = load32(p + i);
        const std::uint32_t m = eq_mask(x, va) | eq_mask(x, vb);
        if (m) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
    if (i < n) {
        // One last load that ends at the end of `hay`; the bytes it shares
        // with the previous load are already known to miss, so shift them out.
        const std::size_t j = n - 32;
        const __m256i x = load32(p + j);
        const std::uint32_t m = (eq_mask(x, va) | eq_mask(x, vb)) >> (i - j);
        if (m) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
    return kNotFound;
}

std::size_t find_substring(std::string_view hay, std::string_view needle) {
    const std::size_t n = needle.size();
    const std::size_t h = hay.size();
    if (n == 0) return 0;
    if (h < n) return kNotFound;
    const char* p = hay.data();
    const char* nd = needle.data();
    if (n == 1) {
        const void* r = std::memchr(p, nd[0], h);
        return r ? static_cast<std::size_t>(static_cast<const char*>(r) - p) : kNotFound;
    }
    // Candidates are the positions whose first and last bytes both match the
    // needle's; 32 positions are filtered per step, the rest compared in full.
    const std::size_t last_start = h - n;  // the last position a match can begin at
    std::size_t i = 0;
    if (last_start >= 31) {
        const __m256i vf = _mm256_set1_epi8(nd[0]);
        const __m256i vl = _mm256_set1_epi8(nd[n - 1]);
        for (; i + 31 <= last_start; i += 32) {
            std::uint32_t m = eq_mask(load32(p + i), vf) & eq_mask(load32(p + i + n - 1), vl);
            while (m) {
                const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(m));
                if (std::memcmp(p + k + 1, nd + 1, n - 2) == 0) return k;
                m &= m - 1;
            }
        }
        if (i <= last_start) {
            // Final block aligned to end at last_start; skip positions seen before.
            const std::size_t j = last_start - 31;
            std::uint32_t m = (eq_mask(load32(p + j), vf) & eq_mask(load32(p + j + n - 1), vl)) >> (i - j);
            while (m) {
                const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(m));
                if (std::memcmp(p + k + 1, nd + 1, n - 2) == 0) return k;
                m &= m - 1;
            }
        }
        return kNotFound;
    }
    for (; i <= last_start; ++i)
        if (p[i] == nd[0] && p[i + n - 1] == nd[n - 1] && std::memcmp(p + i + 1, nd + 1, n - 2) == 0) return i;
    return kNotFound;
}

}  // namespace rova_rudo
