#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Fixed-size byte queue. Not locked: the dispatcher guards it.
class RingBuffer {
public:
    explicit RingBuffer(std::size_t capacity = 0) : Data_(capacity) {}

    std::size_t Capacity() const { return Data_.size(); }
    std::size_t Used() const { return Used_; }
    std::size_t Free() const { return Data_.size() - Used_; }
    bool Empty() const { return Used_ == 0; }

    // Appends up to n bytes; returns how many fit.
    std::size_t Put(const uint8_t* data, std::size_t n);
    // Copies up to n bytes from the front without removing them.
    std::size_t Peek(uint8_t* out, std::size_t n, std::size_t offset = 0) const;
    // Removes up to n bytes from the front.
    std::size_t Discard(std::size_t n);
    std::size_t Get(uint8_t* out, std::size_t n);
    void Clear() { Head_ = Used_ = 0; }
    // New capacity; keeps the oldest bytes that fit.
    void Resize(std::size_t capacity);

private:
    std::vector<uint8_t> Data_;
    std::size_t Head_ = 0;
    std::size_t Used_ = 0;
};
