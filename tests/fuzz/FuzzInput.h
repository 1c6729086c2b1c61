// FuzzInput: reads a fuzzer's input as a stream of little-endian fields.
// Bytes past the end read as 0, so every input, however short, decodes to a
// complete request; what is left after the fields is the request's payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size), at_(0) {}

    uint8_t Byte() {
        const uint8_t value = at_ < size_ ? data_[at_] : 0;
        if (at_ < size_) {
            ++at_;
        }
        return value;
    }
    uint16_t U16() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }

    // The bytes not read yet.
    const uint8_t* Rest() const { return data_ + at_; }
    size_t RestSize() const { return size_ - at_; }
    std::vector<uint8_t> RestBytes() const {
        return std::vector<uint8_t>(Rest(), Rest() + RestSize());
    }

    // Fills `length` bytes at `out` with the unread bytes over and over
    // (zeros when there are none), doubling the copied span each step so a
    // frame-sized buffer costs a handful of block copies.
    void FillCyclic(uint8_t* out, size_t length) const {
        if (length == 0) {
            return;
        }
        const size_t rest = RestSize();
        if (rest == 0) {
            std::memset(out, 0, length);
            return;
        }
        size_t filled = rest < length ? rest : length;
        std::memcpy(out, Rest(), filled);
        while (filled < length) {
            const size_t step = filled < length - filled ? filled : length - filled;
            std::memcpy(out + filled, out, step);
            filled += step;
        }
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_;
};
