#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/sender_port.h"
#include "net/sender.h"
#include "runtime/executor.h"

namespace quorvel::app {

// Counts the packets handed to the sender on their way through (audio thread: one
// relaxed atomic add, nothing else).
class CountingSink final : public PacketSink {
public:
    explicit CountingSink(std::shared_ptr<PacketSink> inner) : inner_(std::move(inner)) {}
    void send(Packet packet) override;
    double serverNowMs() override { return inner_->serverNowMs(); }
    std::int64_t count() const { return count_.load(std::memory_order_relaxed); }

private:
    std::shared_ptr<PacketSink> inner_;
    std::atomic<std::int64_t> count_{0};
};

// The application's sender port over the real WebSocket `Sender`.
class SenderAdapter final : public SenderPort {
public:
    explicit SenderAdapter(std::shared_ptr<Sender> sender);
    void setEvents(SenderEvents events) override;
    void start() override { sender_->start(); }
    void stop() override { sender_->stop(); }
    std::shared_ptr<PacketSink> packetSink() override { return sink_; }

    // Packets the pipeline produced, and those of them the sender refused.
    std::int64_t produced() const { return sink_->count(); }
    std::int64_t dropped() const { return sender_->dropped(); }
    std::weak_ptr<Sender> sender() const { return sender_; }

private:
    std::shared_ptr<Sender> sender_;
    std::shared_ptr<CountingSink> sink_;
};

SenderState senderState(const Sender::State& state);

// Makes real senders reporting to `mainQueue`; `made` (if given) hears of each one.
SenderFactory makeSenderFactory(Executor& mainQueue,
                                std::function<void(const std::shared_ptr<SenderAdapter>&)> made = {});

}  // namespace quorvel::app
