#include "serial/ring_buffer.h"

#include <algorithm>
#include <cstring>

std::size_t RingBuffer::Put(const uint8_t* data, std::size_t n)
{
    const std::size_t cap = Data_.size();
    n = std::min(n, Free());
    if (n == 0)
        return 0;
    const std::size_t tail = (Head_ + Used_) % cap;
    const std::size_t first = std::min(n, cap - tail);
    std::memcpy(Data_.data() + tail, data, first);
    std::memcpy(Data_.data(), data + first, n - first);
    Used_ += n;
    return n;
}

std::size_t RingBuffer::Peek(uint8_t* out, std::size_t n, std::size_t offset) const
{
    if (offset >= Used_)
        return 0;
    const std::size_t cap = Data_.size();
    n = std::min(n, Used_ - offset);
    const std::size_t start = (Head_ + offset) % cap;
    const std::size_t first = std::min(n, cap - start);
    std::memcpy(out, Data_.data() + start, first);
    std::memcpy(out + first, Data_.data(), n - first);
    return n;
}

std::size_t RingBuffer::Discard(std::size_t n)
{
    n = std::min(n, Used_);
    if (n == 0)
        return 0;
    Head_ = (Head_ + n) % Data_.size();
    Used_ -= n;
    if (Used_ == 0)
        Head_ = 0;
    return n;
}

std::size_t RingBuffer::Get(uint8_t* out, std::size_t n)
{
    return Discard(Peek(out, n));
}

void RingBuffer::Resize(std::size_t capacity)
{
    std::vector<uint8_t> next(capacity);
    const std::size_t keep = Peek(next.data(), std::min(capacity, Used_));
    Data_.swap(next);
    Head_ = 0;
    Used_ = keep;
}
