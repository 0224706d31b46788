#include "audio/packet_pool.h"

namespace quorvel {

Packet::Packet(Packet&& other) noexcept
    : pool_(std::move(other.pool_)), data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

Packet& Packet::operator=(Packet&& other) noexcept {
    if (this != &other) {
        release();
        pool_ = std::move(other.pool_);
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

Packet::~Packet() { release(); }

void Packet::release() {
    if (data_ != nullptr) pool_->giveBack(data_);
    data_ = nullptr;
    size_ = 0;
    pool_.reset();
}

std::shared_ptr<PacketPool> PacketPool::create(std::size_t bufferBytes, std::size_t count) {
    return std::make_shared<PacketPool>(bufferBytes, count);
}

PacketPool::PacketPool(std::size_t bufferBytes, std::size_t count)
    : bufferBytes_(bufferBytes), count_(count), storage_(bufferBytes * count), free_(count) {
    for (std::size_t i = 0; i < count; ++i) free_.bounded_push(storage_.data() + i * bufferBytes);
}

Packet PacketPool::acquire(std::size_t size) {
    std::uint8_t* data = nullptr;
    if (size > bufferBytes_ || !free_.pop(data)) return {};
    return Packet(shared_from_this(), data, size);
}

void PacketPool::giveBack(std::uint8_t* data) {
    free_.bounded_push(data);
}

}  // namespace quorvel
