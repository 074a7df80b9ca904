#pragma once
// What every fuzz target reads its input with, and how it says a rule was broken.
#include <cstddef>
#include <cstdint>
#include <cstring>

// The fuzzer's bytes, read from the front; past the end every byte reads as 0.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return used_ >= size_; }
    uint8_t byte() { return used_ < size_ ? data_[used_++] : 0; }
    // Up to count bytes into out; returns how many there were.
    size_t take(uint8_t *out, size_t count) {
        size_t available = size_ - used_ < count ? size_ - used_ : count;
        memcpy(out, data_ + used_, available);
        used_ += available;
        return available;
    }
    int32_t int32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) value = (value << 8) | byte();
        return static_cast<int32_t>(value);
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t used_ = 0;
};

// A broken rule stops the run where the fuzzer sees it.
inline void check(bool holds) {
    if (!holds) __builtin_trap();
}
