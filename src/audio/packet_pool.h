#pragma once

#include <boost/lockfree/queue.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvel {

class PacketPool;

// One audio packet's bytes, on loan from a PacketPool. Move-only; the buffer goes
// back to its pool when the last owner lets go, on whichever thread that is.
// An empty Packet (operator bool false) stands for a packet that found the pool
// exhausted and was therefore dropped.
class Packet {
public:
    Packet() = default;
    Packet(Packet&& other) noexcept;
    Packet& operator=(Packet&& other) noexcept;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    ~Packet();

    explicit operator bool() const { return data_ != nullptr; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    std::span<std::uint8_t> mutableBytes() { return {data_, size_}; }
    std::size_t size() const { return size_; }

private:
    friend class PacketPool;
    Packet(std::shared_ptr<PacketPool> pool, std::uint8_t* data, std::size_t size)
        : pool_(std::move(pool)), data_(data), size_(size) {}
    void release();

    std::shared_ptr<PacketPool> pool_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// A fixed set of equally sized packet buffers, allocated once. acquire() and the
// return of a buffer are lock-free and allocate nothing, so the audio thread can
// take buffers while the network thread gives them back.
class PacketPool : public std::enable_shared_from_this<PacketPool> {
public:
    static std::shared_ptr<PacketPool> create(std::size_t bufferBytes, std::size_t count);

    // A buffer of `size` bytes (at most bufferBytes), or an empty Packet when all
    // buffers are out. The contents are whatever the previous user left.
    Packet acquire(std::size_t size);

    std::size_t bufferBytes() const { return bufferBytes_; }
    std::size_t capacity() const { return count_; }

    PacketPool(std::size_t bufferBytes, std::size_t count);

private:
    friend class Packet;
    void giveBack(std::uint8_t* data);

    std::size_t bufferBytes_;
    std::size_t count_;
    std::vector<std::uint8_t> storage_;
    boost::lockfree::queue<std::uint8_t*, boost::lockfree::fixed_sized<true>> free_;
};

}  // namespace quorvel
