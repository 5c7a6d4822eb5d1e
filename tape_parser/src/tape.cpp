#include "tape_parser/tape.hpp"

#include <cstring>
#include <limits>

namespace tape_parser {

Tape& Tape::operator=(Tape&& o) noexcept {
    if (this != &o) {
        stop_prefault();
        block_ = std::move(o.block_);
        data_ = o.data_;
        size_ = o.size_;
        capacity_ = o.capacity_;
        prefault_ = o.prefault_;
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
        o.prefault_ = nullptr;
    }
    return *this;
}

bool Tape::reserve(std::size_t n) {
    if (n <= capacity_) return true;
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(TapeEntry)) return false;
    // The storage may move: nothing may populate the old place meanwhile.
    stop_prefault();
    // Entries are trivially copyable; growing keeps them.
    if (!block_.grow(n * sizeof(TapeEntry))) return false;
    data_ = reinterpret_cast<TapeEntry*>(block_.data());
    capacity_ = n;
    return true;
}

void Tape::reserve_up_to(std::size_t n) {
    // Address space may be limited below what the estimate asks for.
    constexpr std::size_t kFloor = 4096;
    while (!reserve(n) && n > kFloor) n /= 2;
}

bool Tape::grow() {
    if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) return false;
    if (reserve(capacity_ < 2 ? 4 : capacity_ * 2)) return true;
    // Address space may be limited below the doubled size while a smaller
    // step still holds the rest of the input.
    for (std::size_t step = capacity_ / 2; step >= capacity_ / 16 && step > 0; step /= 2) {
        if (reserve(capacity_ + step)) return true;
    }
    return false;
}

void Tape::give_back_spare(std::size_t room) {
    if (room >= capacity_ - size_) return;
    // Nothing may populate what is given back.
    stop_prefault();
    capacity_ = size_ + room;
    block_.shrink(capacity_ * sizeof(TapeEntry));
}

void Tape::release() {
    stop_prefault();
    block_.release();
    data_ = nullptr;
    size_ = capacity_ = 0;
}

}  // namespace tape_parser
