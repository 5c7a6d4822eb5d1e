// The few vector operations the byte scanners use, over 16- and 32-byte
// blocks (the build targets AVX2, BMI1 and BMI2; nothing is tested at run
// time). `Block<W>` holds W bytes; its masks have bit i set for byte i.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace tape_parser::simd {

template <int W>
struct Block;

template <>
struct Block<32> {
    __m256i v;
    static Block load(const void* p) { return {_mm256_loadu_si256(static_cast<const __m256i*>(p))}; }
    static __m256i splat(char c) { return _mm256_set1_epi8(c); }
    std::uint32_t eq(__m256i c) const {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, c)));
    }
    std::uint32_t eq(char c) const { return eq(splat(c)); }
    // 0xFF in each byte equal to the byte in `c`, else 0, for combining
    // several tests (with | and &) before one movemask.
    __m256i lanes_eq(__m256i c) const { return _mm256_cmpeq_epi8(v, c); }
    // Bytes below `c` compared as signed: with c = 0x20, control bytes and
    // every byte from 0x80.
    std::uint32_t below_signed(__m256i c) const {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(c, v)));
    }
    // Bytes at most `c` compared as unsigned.
    std::uint32_t at_most(__m256i c) const {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, c), c)));
    }
};

template <>
struct Block<16> {
    __m128i v;
    static Block load(const void* p) { return {_mm_loadu_si128(static_cast<const __m128i*>(p))}; }
    static __m128i splat(char c) { return _mm_set1_epi8(c); }
    std::uint32_t eq(__m128i c) const { return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c))); }
    std::uint32_t eq(char c) const { return eq(splat(c)); }
};

using Block32 = Block<32>;
using Block16 = Block<16>;

// Bit i of a byte mask for each byte of `v` (the top bit of each byte).
inline std::uint32_t movemask(__m256i v) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
inline std::uint32_t movemask(__m128i v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }

// Whether any bit of `v` is set.
inline bool any(__m256i v) { return _mm256_testz_si256(v, v) == 0; }

// Index of the lowest set bit; the width when none is set.
inline unsigned first_bit(std::uint32_t m) { return _tzcnt_u32(m); }
inline unsigned first_bit(std::uint64_t m) { return static_cast<unsigned>(_tzcnt_u64(m)); }
// `m` with every bit from `n` up cleared.
inline std::uint32_t low_bits(std::uint32_t m, unsigned n) { return _bzhi_u32(m, n); }

// Bit i set when byte i of the 32 at p is JSON whitespace (space, tab, LF,
// CR): a byte is whitespace when the table entry its low nibble selects is
// the byte itself. The other entries are 0x80, which no byte selects (bytes
// from 0x80 select zero).
inline std::uint32_t whitespace_mask32(const void* p) {
    constexpr char o = static_cast<char>(0x80);
    const __m256i tab = _mm256_setr_epi8(' ', o, o, o, o, o, o, o, o, '\t', '\n', o, o, '\r', o, o,  //
                                         ' ', o, o, o, o, o, o, o, o, '\t', '\n', o, o, '\r', o, o);
    const __m256i v = Block32::load(p).v;
    return movemask(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(tab, v), v));
}

// A JSON string body at `body` whose closing quote is among its first W
// bytes with no backslash before it: true, with `len` the body's length
// (the common short string, taken without a scan). At least W bytes must be
// readable at `body`.
template <int W>
inline bool short_string_end(const void* body, unsigned& len) {
    const auto b = Block<W>::load(body);
    const std::uint32_t quotes = b.eq('"');
    len = first_bit(quotes);  // W when there is none
    return quotes != 0 && low_bits(b.eq('\\'), len) == 0;
}

}  // namespace tape_parser::simd
