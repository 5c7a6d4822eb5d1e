// The Fx hash and a small open-addressing hash map keyed by it, for the query
// engine's own lookup tables (schema paths and key names, the tape child
// index). No output depends on hash values or on the map's iteration order.
//
// Hashing: a 64-bit state starts at 0 and absorbs each word w as
// state = (state + w) * 0xf1357aea2e62a9c5 (wrapping); the hash is the final
// state rotated left by 26 bits. Integers are absorbed widened to 64 bits, a
// pair absorbs its first then its second member, and a byte string absorbs
// its length, then `fx_bytes_digest` of its bytes.
//
// The map: no Debian package carries a maintained open-addressing map that we
// can link without a new build dependency, so this one is ours. Linear
// probing over a power-of-two table with a one-byte fingerprint per slot;
// insert and lookup only (the engine never erases). Lookups may use any type
// that the hasher and `Eq` accept (a std::string_view for std::string keys).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace rova_rudo {

inline constexpr std::uint64_t kFxSeed = 0xf1357aea2e62a9c5ULL;

struct FxHasher {
    std::uint64_t state = 0;
    void add(std::uint64_t w) { state = (state + w) * kFxSeed; }
    std::uint64_t finish() const { return std::rotl(state, 26); }
};

namespace fx_detail {

inline std::uint64_t mix(std::uint64_t x, std::uint64_t y) {
    const unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
    return static_cast<std::uint64_t>(p >> 64) ^ static_cast<std::uint64_t>(p);
}
// Little-endian reads (the target is x86-64).
inline std::uint64_t read64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t read32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace fx_detail

// The 64-bit digest of a byte string that the string hash absorbs after the length.
inline std::uint64_t fx_bytes_digest(std::string_view bytes) {
    using fx_detail::mix;
    using fx_detail::read32;
    using fx_detail::read64;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::uint64_t s0 = 0x243f6a8885a308d3ULL;
    std::uint64_t s1 = 0x13198a2e03707344ULL;
    if (n <= 16) {
        if (n >= 8) {
            s0 ^= read64(p);
            s1 ^= read64(p + n - 8);
        } else if (n >= 4) {
            s0 ^= read32(p);
            s1 ^= read32(p + n - 4);
        } else if (n >= 1) {
            s0 ^= p[0];
            s1 ^= (static_cast<std::uint64_t>(p[n - 1]) << 8) | p[n / 2];
        }
    } else {
        for (std::size_t o = 0; o < n - 16; o += 16) {
            const std::uint64_t t = mix(s0 ^ read64(p + o), 0xa4093822299f31d0ULL ^ read64(p + o + 8));
            s0 = s1;
            s1 = t;
        }
        s0 ^= read64(p + n - 16);
        s1 ^= read64(p + n - 8);
    }
    return mix(s0, s1) ^ static_cast<std::uint64_t>(n);
}

inline std::uint64_t fx_hash_bytes(std::string_view bytes) {
    FxHasher h;
    h.add(bytes.size());
    h.add(fx_bytes_digest(bytes));
    return h.finish();
}

inline std::uint64_t fx_hash_word(std::uint64_t w) {
    FxHasher h;
    h.add(w);
    return h.finish();
}

inline std::uint64_t fx_hash_pair(std::uint64_t a, std::uint64_t b) {
    FxHasher h;
    h.add(a);
    h.add(b);
    return h.finish();
}

// The hasher functor of FxMap: integers, pairs of integers, byte strings.
struct FxHash {
    template <class T>
    requires std::is_integral_v<T> || std::is_enum_v<T> std::uint64_t operator()(T v) const {
        return fx_hash_word(static_cast<std::uint64_t>(v));
    }
    template <class A, class B>
    std::uint64_t operator()(const std::pair<A, B>& p) const {
        return fx_hash_pair(static_cast<std::uint64_t>(p.first), static_cast<std::uint64_t>(p.second));
    }
    std::uint64_t operator()(std::string_view s) const { return fx_hash_bytes(s); }
    std::uint64_t operator()(const std::string& s) const { return fx_hash_bytes(s); }
};

template <class K, class V, class Hash = FxHash, class Eq = std::equal_to<>>
class FxMap {
public:
    FxMap() = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Makes room for n entries without rehashing.
    void reserve(std::size_t n) {
        std::size_t want = 16;
        while (want / 8 * 7 < n) want *= 2;
        if (want > ctrl_.size()) rehash(want);
    }

    void clear() {
        ctrl_.clear();
        slots_.clear();
        size_ = 0;
    }

    template <class Q>
    V* find(const Q& key) {
        if (size_ == 0) return nullptr;
        const std::uint64_t h = Hash{}(key);
        const std::uint8_t fp = fingerprint(h);
        const std::size_t mask = ctrl_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
            const std::uint8_t c = ctrl_[i];
            if (c == 0) return nullptr;
            if (c == fp && Eq{}(slots_[i].first, key)) return &slots_[i].second;
        }
    }
    template <class Q>
    const V* find(const Q& key) const {
        return const_cast<FxMap*>(this)->find(key);
    }

    // Inserts (key, value) when key is absent. Returns the stored value and
    // whether it was inserted; an existing value is left unchanged.
    template <class Q>
    std::pair<V*, bool> try_emplace(Q&& key, V value) {
        if ((size_ + 1) * 8 > ctrl_.size() * 7) rehash(ctrl_.empty() ? 16 : ctrl_.size() * 2);
        const std::uint64_t h = Hash{}(key);
        const std::uint8_t fp = fingerprint(h);
        const std::size_t mask = ctrl_.size() - 1;
        std::size_t i = static_cast<std::size_t>(h) & mask;
        for (;; i = (i + 1) & mask) {
            const std::uint8_t c = ctrl_[i];
            if (c == 0) break;
            if (c == fp && Eq{}(slots_[i].first, key)) return {&slots_[i].second, false};
        }
        ctrl_[i] = fp;
        slots_[i].first = K(std::forward<Q>(key));
        slots_[i].second = std::move(value);
        ++size_;
        return {&slots_[i].second, true};
    }

    // Calls f(key, value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < ctrl_.size(); ++i)
            if (ctrl_[i] != 0) f(slots_[i].first, slots_[i].second);
    }

private:
    // Nonzero: 0 marks an empty slot. Taken from the top bits, which the
    // index (low bits) does not use.
    static std::uint8_t fingerprint(std::uint64_t h) { return static_cast<std::uint8_t>((h >> 57) | 0x80); }

    void rehash(std::size_t cap) {
        std::vector<std::uint8_t> old_ctrl(cap, 0);
        std::vector<std::pair<K, V>> old_slots(cap);
        old_ctrl.swap(ctrl_);
        old_slots.swap(slots_);
        const std::size_t mask = cap - 1;
        for (std::size_t j = 0; j < old_ctrl.size(); ++j) {
            if (old_ctrl[j] == 0) continue;
            std::size_t i = static_cast<std::size_t>(Hash{}(old_slots[j].first)) & mask;
            while (ctrl_[i] != 0) i = (i + 1) & mask;
            ctrl_[i] = old_ctrl[j];
            slots_[i] = std::move(old_slots[j]);
        }
    }

    std::vector<std::uint8_t> ctrl_;
    std::vector<std::pair<K, V>> slots_;
    std::size_t size_ = 0;
};

}  // namespace rova_rudo
