// The tape: the flat product of the tape parser. One 20-byte entry per JSON
// value (object keys included) in document order; a container's entry comes
// before its subtree, which follows it contiguously; object members alternate
// key, value. Nothing is decoded: entries hold byte spans of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "platform/fresh_memory.hpp"
#include "platform/result.hpp"

namespace tape_parser {

enum class TapeKind : std::uint8_t {
    Null = 0,
    False = 1,
    True = 2,
    Number = 3,
    String = 4,
    Array = 5,
    Object = 6,
};

// Parent word of a top-level value.
inline constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;
// Offsets are 48 bits wide: the largest offset (and so input length) a tape holds.
inline constexpr std::uint64_t kMaxTapeOffset = (std::uint64_t{1} << 48) - 1;
// Entry indices must stay below kNoParent, which marks a top-level value.
inline constexpr std::uint64_t kMaxTapeEntries = 0xFFFFFFFEu;
// Only the low 29 bits of a child count are stored; readers use it as a hint.
inline constexpr std::uint32_t kChildCountMask = 0x1FFFFFFFu;

// Five 32-bit words:
//   w[0] start bits 0-31
//   w[1] bits 16-31: start bits 32-47; bits 0-15: end bits 32-47
//   w[2] end bits 0-31 (exclusive)
//   w[3] bits 29-31 kind, bits 0-28 child count (arrays: children; objects:
//        members = children / 2; scalars 0)
//   w[4] tape index of the parent container, kNoParent at top level
// String spans exclude the quotes; container spans include both brackets.
struct TapeEntry {
    std::uint32_t w[5];

    std::uint64_t start() const { return (std::uint64_t{w[1] >> 16} << 32) | w[0]; }
    std::uint64_t end() const { return (std::uint64_t{w[1] & 0xFFFFu} << 32) | w[2]; }
    TapeKind kind() const { return static_cast<TapeKind>(w[3] >> 29); }
    std::uint32_t child_count() const { return w[3] & kChildCountMask; }
    std::uint32_t parent() const { return w[4]; }
    bool is_container() const { return w[3] >= 0xA0000000u; }
    bool is_object() const { return w[3] >= 0xC0000000u; }

    // A complete scalar (null, false, true, number, string).
    static TapeEntry scalar(std::uint64_t start, std::uint64_t end, TapeKind kind, std::uint32_t parent) {
        return TapeEntry{{static_cast<std::uint32_t>(start),
                          static_cast<std::uint32_t>(((start >> 32) << 16) | ((end >> 32) & 0xFFFFu)),
                          static_cast<std::uint32_t>(end), static_cast<std::uint32_t>(kind) << 29, parent}};
    }
    // An array or object whose end and count are still 0.
    static TapeEntry open_container(std::uint64_t start, TapeKind kind, std::uint32_t parent) {
        return TapeEntry{{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>((start >> 32) << 16), 0,
                          static_cast<std::uint32_t>(kind) << 29, parent}};
    }
    // Sets a container's end and count; start, kind and parent stay.
    void close(std::uint64_t end, std::uint32_t count) {
        w[1] = (w[1] & 0xFFFF0000u) | static_cast<std::uint32_t>((end >> 32) & 0xFFFFu);
        w[2] = static_cast<std::uint32_t>(end);
        w[3] = (w[3] & 0xE0000000u) | (count & kChildCountMask);
    }

    bool operator==(const TapeEntry& o) const { return std::memcmp(w, o.w, sizeof w) == 0; }
};
static_assert(sizeof(TapeEntry) == 20);

namespace detail {
class TapeAppender;
// Threads populating a tape's spare storage (prefault.hpp); ending one stops
// its threads and waits for them.
struct PrefaultRun;
void end_prefault_run(PrefaultRun* run) noexcept;
}  // namespace detail

// Growable, contiguous storage of entries. Unlike a std::vector, its spare
// capacity is real allocated memory that other threads may map in ahead of
// the builder (the prefault populates it while the builder writes, or
// touches it while the builder waits). Grows by doubling, to at least 4
// entries, or by less when the system refuses the double; large storage is
// fresh memory from the system, grown without copying. Move-only. An
// allocation the system refuses is reported, never fatal: the tape is left
// as it was.
class Tape {
public:
    Tape() = default;
    Tape(Tape&& o) noexcept
        : block_(std::move(o.block_)), data_(o.data_), size_(o.size_), capacity_(o.capacity_), prefault_(o.prefault_) {
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
        o.prefault_ = nullptr;
    }
    Tape& operator=(Tape&& o) noexcept;
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape() { stop_prefault(); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    TapeEntry* data() { return data_; }
    const TapeEntry* data() const { return data_; }
    TapeEntry& operator[](std::size_t i) { return data_[i]; }
    const TapeEntry& operator[](std::size_t i) const { return data_[i]; }
    const TapeEntry* begin() const { return data_; }
    const TapeEntry* end() const { return data_ + size_; }
    std::span<const TapeEntry> entries() const { return {data_, size_}; }

    // Makes room for at least `n` entries in total (exactly `n` when
    // growing); false when the system refuses the memory.
    bool reserve(std::size_t n);
    // The up-front reservation of a parse: `n` entries, or as many as the
    // system grants down to a small floor, since a tape that grows as it
    // fills may still hold the whole input.
    void reserve_up_to(std::size_t n);
    // Appends `e`; false, with the tape unchanged, when it cannot grow.
    bool push_back(const TapeEntry& e) {
        if (size_ == capacity_) [[unlikely]] {
            if (!grow()) return false;
        }
        data_[size_++] = e;
        return true;
    }
    // Keeps room for `room` more entries and gives the rest of the storage
    // back to the system: for when address space is short and the tape
    // will not grow much more.
    void give_back_spare(std::size_t room);
    // Drops every entry and keeps the storage, for the next parse to write
    // into pages already touched.
    void clear() {
        stop_prefault();
        size_ = 0;
    }
    // Drops every entry and releases the storage.
    void release();

    // Stops the prefault threads that may still be populating the spare
    // storage and waits for them (prefault.hpp). The parse drivers call it
    // when the input is parsed; the tape itself, before its storage moves or
    // is released.
    void stop_prefault() noexcept {
        if (prefault_ == nullptr) return;
        detail::end_prefault_run(prefault_);
        prefault_ = nullptr;
    }

private:
    friend class detail::TapeAppender;
    friend void prefault_tape_capacity(Tape& tape, std::uint64_t estimated_entries);
    bool grow();

    platform::FreshBuffer block_;
    TapeEntry* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    detail::PrefaultRun* prefault_ = nullptr;
};

// Eight counters of one parse; all start at 0.
struct ParseStats {
    std::uint64_t tape_len = 0;  // entries of the finished tape (wrapper included)
    std::uint64_t objects = 0;   // at each '{'
    std::uint64_t arrays = 0;    // at each '[', and once for the wrapper
    std::uint64_t strings = 0;   // keys included
    std::uint64_t numbers = 0;
    std::uint64_t booleans = 0;
    std::uint64_t nulls = 0;
    std::uint64_t object_members = 0;  // member counts, added as objects close

    bool operator==(const ParseStats&) const = default;
};

// A successful whole-buffer parse: the caller owns both.
struct ParsedTape {
    Tape tape;
    ParseStats stats;
};

// The tape and its statistics, or the failure text. A failure carries nothing
// else: whatever was built has been released.
using TapeParseOutput = platform::Result<ParsedTape, std::string>;

}  // namespace tape_parser
