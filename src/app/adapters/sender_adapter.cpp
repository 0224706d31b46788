#include "app/adapters/sender_adapter.h"

namespace quorvel::app {

void CountingSink::send(Packet packet) {
    if (packet) count_.fetch_add(1, std::memory_order_relaxed);
    inner_->send(std::move(packet));
}

SenderAdapter::SenderAdapter(std::shared_ptr<Sender> sender)
    : sender_(std::move(sender)), sink_(std::make_shared<CountingSink>(sender_)) {}

SenderState senderState(const Sender::State& state) {
    using In = Sender::State::Kind;
    using Out = SenderState::Kind;
    switch (state.kind) {
        case In::off: return {Out::off, {}};
        case In::connecting: return {Out::connecting, {}};
        case In::connected: return {Out::connected, {}};
        case In::reconnecting: return {Out::reconnecting, {}};
        case In::failed: return SenderState::failed(state.text);
    }
    return {};
}

void SenderAdapter::setEvents(SenderEvents events) {
    sender_->onState = [f = std::move(events.onState)](Sender::State state) {
        if (f) f(senderState(state));
    };
    sender_->onListeners = std::move(events.onListeners);
    sender_->onRevoked = std::move(events.onRevoked);
    sender_->onSessionEnded = std::move(events.onSessionEnded);
}

SenderFactory makeSenderFactory(Executor& mainQueue, std::function<void(const std::shared_ptr<SenderAdapter>&)> made) {
    return [&mainQueue, made = std::move(made)](const Config& config, const std::string& key,
                                                const std::string& sessionId) -> std::shared_ptr<SenderPort> {
        auto adapter = std::make_shared<SenderAdapter>(Sender::create(config, key, sessionId, mainQueue));
        if (made) made(adapter);
        return adapter;
    };
}

}  // namespace quorvel::app
