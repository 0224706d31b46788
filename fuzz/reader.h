#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace quorvel::fuzz {

// Reads a fuzzer's input front to back, so that seed files are easy to write by hand:
// numbers are little-endian, and past the end everything reads as zero or empty.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(number(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(number(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
    double f64() {
        const std::uint64_t bits = number(8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // The next `size` bytes, or what is left.
    std::span<const std::uint8_t> bytes(std::size_t size) {
        const std::size_t taken = size < size_ ? size : size_;
        const std::span<const std::uint8_t> span(data_, taken);
        data_ += taken;
        size_ -= taken;
        return span;
    }
    // A 16-bit length, then that many bytes.
    std::string_view text() {
        const auto span = bytes(u16());
        return std::string_view(reinterpret_cast<const char*>(span.data()), span.size());
    }

private:
    std::uint64_t number(std::size_t width) {
        std::uint64_t value = 0;
        const auto span = bytes(width);
        for (std::size_t i = 0; i < span.size(); ++i) value |= std::uint64_t{span[i]} << (8 * i);
        return value;
    }

    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace quorvel::fuzz
