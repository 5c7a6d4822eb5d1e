#include "tape_parser/tape.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tape_parser {

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

Tape& Tape::operator=(Tape&& o) noexcept {
    if (this != &o) {
        std::free(data_);
        data_ = o.data_;
        size_ = o.size_;
        capacity_ = o.capacity_;
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    return *this;
}

Tape::~Tape() { std::free(data_); }

void Tape::reserve(std::size_t n) {
    if (n <= capacity_) return;
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(TapeEntry)) die("capacity overflow");
    // realloc keeps the entries; entries are trivially copyable. Large blocks
    // come fresh from the kernel, so untouched capacity costs address space only.
    void* p = std::realloc(data_, n * sizeof(TapeEntry));
    if (p == nullptr) die("memory allocation failed");
    data_ = static_cast<TapeEntry*>(p);
    capacity_ = n;
}

void Tape::grow() {
    std::size_t want = capacity_ < 2 ? 4 : capacity_ * 2;
    if (want < 4) want = 4;
    reserve(want);
}

void Tape::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

}  // namespace tape_parser
