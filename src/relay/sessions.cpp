#include "relay/sessions.h"

#include "json/json.h"
#include "relay/outgoing_messages.h"
#include "relay/relay.h"
#include "runtime/if_alive.h"

namespace quorvel::relay {

namespace {

// {"type":"pong","t":<t as sent>,"s":<server time>} for a ping with a numeric "t".
std::optional<std::string> pongFor(const boost::json::object& ping, const Clock& clock) {
    const auto* t = json::member(ping, "t");
    if (!json::number(t)) return std::nullopt;
    return outgoing::pong(*t, clock.wallMs());
}

// The form named by a "listen" or "format" message; nothing for a bad name or rate.
std::optional<StreamForm> requestedForm(const boost::json::object& message) {
    const auto* format = json::member(message, "format");
    const auto* kbps = json::member(message, "kbps");
    const auto name = format ? json::string(format) : std::nullopt;
    if (format && !name) return std::nullopt;
    // A rate that is there but no integer is as wrong as an unknown one.
    const auto rate = kbps ? json::integral(kbps).value_or(-1) : std::optional<std::int64_t>();
    return streamFormFrom(name, rate);
}

}  // namespace

// ---- BroadcasterSession -------------------------------------------------------------------

const std::string& BroadcasterSession::remoteAddress() const {
    static const std::string none;
    return peer_ ? peer_->remoteAddress() : none;
}

void BroadcasterSession::start() {
    deadline_ = relay_.deadlines().make(ifAlive(weak_from_this(), [this] { expire(); }));
    deadline_->expireAt(relay_.clock().now() + relay_.settings().helloTimeout);
}

void BroadcasterSession::expire() {
    if (stage_ == Stage::ended) return;
    relay_.log("send #" + std::to_string(number_) + (stage_ == Stage::onAir ? " closed: idle" : " closed: no hello in time"));
    const bool wasOnAir = stage_ == Stage::onAir;
    stage_ = Stage::ended;
    if (wasOnAir) relay_.broadcasterClosed(*this);
    if (peer_) peer_->close(CloseCode::policy);
}

void BroadcasterSession::onOpen(std::shared_ptr<WebSocketPeer> peer) {
    peer_ = std::move(peer);
    // Expired between the upgrade request and the open.
    if (stage_ == Stage::ended) peer_->close(CloseCode::policy);
}

void BroadcasterSession::refreshIdle() {
    if (stage_ == Stage::onAir) deadline_->expireAt(relay_.clock().now() + relay_.settings().idleTimeout);
}

void BroadcasterSession::onText(std::string_view text) {
    refreshIdle();
    if (stage_ == Stage::ended || stage_ == Stage::checking) return;
    const auto message = json::parseObject(text);
    if (!message) return;
    const auto type = json::string(json::member(*message, "type"));
    if (!type) return;
    if (stage_ == Stage::awaitingHello) {
        if (*type != "hello") return;
        const auto key = json::string(json::member(*message, "key"));
        const auto session = json::string(json::member(*message, "session"));
        if (!key) return endWith(outgoing::error("auth"));
        if (!session) return endWith(outgoing::error("session"));
        stage_ = Stage::checking;
        relay_.hello(shared_from_this(), *key, *session);
        return;
    }
    if (*type == "ping")
        if (auto pong = pongFor(*message, relay_.clock())) peer_->sendText(std::move(*pong));
}

void BroadcasterSession::onBinary(std::span<const std::uint8_t> bytes) {
    refreshIdle();
    if (stage_ != Stage::onAir) return;
    bool malformed = false;
    relay_.packet(*this, bytes, malformed);
    ++(malformed ? malformed_ : packets_);
}

void BroadcasterSession::onClosed() {
    if (deadline_) deadline_->clear();
    // The studio's close code tells a deliberate end (1000) from a broken connection.
    const auto code = peer_ ? peer_->peerCloseCode() : std::nullopt;
    relay_.log("send #" + std::to_string(number_) + " closed: " + std::to_string(packets_) + " packets, " +
               std::to_string(malformed_) + " malformed, " +
               (code ? "close code " + std::to_string(*code) : std::string("no close frame")));
    if (stage_ == Stage::onAir) relay_.broadcasterClosed(*this);
    stage_ = Stage::ended;
    peer_.reset();
}

void BroadcasterSession::welcome(const std::string& linkId, std::int64_t deviceId, std::size_t listeners) {
    linkId_ = linkId;
    deviceId_ = deviceId;
    stage_ = Stage::onAir;
    refreshIdle();
    peer_->sendText(outgoing::welcome(listeners));
}

void BroadcasterSession::endWith(const std::string& message) {
    if (stage_ == Stage::ended || !peer_) return;
    stage_ = Stage::ended;
    deadline_->clear();
    peer_->sendText(message);
    peer_->close(CloseCode::normal);
}

void BroadcasterSession::sendListenerCount(std::size_t count) {
    if (stage_ == Stage::onAir)
        peer_->sendText(outgoing::listenerCount(count));
}

// ---- ListenerSession ----------------------------------------------------------------------

const std::string& ListenerSession::remoteAddress() const {
    static const std::string none;
    return peer_ ? peer_->remoteAddress() : none;
}

void ListenerSession::start() {
    deadline_ = relay_.deadlines().make(ifAlive(weak_from_this(), [this] { expire(); }));
    deadline_->expireAt(relay_.clock().now() + relay_.settings().helloTimeout);
}

void ListenerSession::expire() {
    if (stage_ == Stage::listening) return keepAlive();
    if (stage_ != Stage::awaitingListen) return;
    relay_.log("listen #" + std::to_string(number_) + " closed: no listen message in time");
    stage_ = Stage::ended;
    if (peer_) peer_->close(CloseCode::policy);
}

// Runs every ping interval while listening, and when the silence would reach its limit.
void ListenerSession::keepAlive() {
    const auto now = relay_.clock().now();
    const auto& settings = relay_.settings();
    if (now - heardAt_ >= settings.listenerSilence) {
        relay_.log("listen #" + std::to_string(number_) + " closed: silent for " +
                   std::to_string(settings.listenerSilence.count()) + " s");
        stage_ = Stage::ended;
        relay_.listenerClosed(*this);
        peer_->close(CloseCode::goingAway);
        return;
    }
    peer_->ping();
    deadline_->expireAt(std::min(now + settings.listenerPing, heardAt_ + settings.listenerSilence));
}

void ListenerSession::heard() {
    if (stage_ == Stage::listening) heardAt_ = relay_.clock().now();
}

void ListenerSession::onOpen(std::shared_ptr<WebSocketPeer> peer) {
    peer_ = std::move(peer);
    // Expired between the upgrade request and the open.
    if (stage_ == Stage::ended) peer_->close(CloseCode::policy);
}

void ListenerSession::onText(std::string_view text) {
    heard();
    if (stage_ == Stage::ended || stage_ == Stage::checking) return;
    const auto message = json::parseObject(text);
    if (!message) return;
    const auto type = json::string(json::member(*message, "type"));
    if (!type) return;
    if (stage_ == Stage::awaitingListen) {
        if (*type != "listen") return;
        const auto session = json::string(json::member(*message, "session"));
        const auto password = json::string(json::member(*message, "password"));
        const auto resume = json::string(json::member(*message, "resume"));
        if (!session) return endWith(outgoing::error("session"));
        if (!password && !resume) return endWith(outgoing::error("password"));
        const auto form = requestedForm(*message);
        if (!form) return endWith(outgoing::error("format"));
        form_ = *form;
        stage_ = Stage::checking;
        deadline_->clear();
        relay_.listen(shared_from_this(), *session, password.value_or(""), resume.value_or(""));
        return;
    }
    if (*type == "ping") {
        if (auto pong = pongFor(*message, relay_.clock())) peer_->sendText(std::move(*pong));
    } else if (*type == "format") {
        changeForm(*message);
    }
}

void ListenerSession::changeForm(const boost::json::object& message) {
    const auto form = requestedForm(message);
    // Each change may start an encoder: a listener may not keep the encoder threads busy.
    const auto now = relay_.clock().now();
    while (!formChanges_.empty() && now - formChanges_.front() >= kFormChangeWindow) formChanges_.pop_front();
    formChanges_.push_back(now);
    const bool tooMany = formChanges_.size() > kFormChangesPerWindow;
    if (!form || tooMany) {
        relay_.log("listen #" + std::to_string(number_) + " closed: " + (form ? "too many format changes" : "unknown format"));
        relay_.listenerClosed(*this);
        return endWith(outgoing::error(form ? "too_many_changes" : "format"));
    }
    form_ = *form;
    relay_.changeForm(shared_from_this(), form_);
}

void ListenerSession::onBinary(std::span<const std::uint8_t>) { heard(); }

void ListenerSession::onPong() { heard(); }

void ListenerSession::onClosed() {
    if (deadline_) deadline_->clear();
    relay_.log("listen #" + std::to_string(number_) + " closed: " + std::to_string(dropped_) +
               " packets dropped for a full queue, " + std::to_string(late_) + " for being late");
    const bool wasListening = stage_ == Stage::listening;
    stage_ = Stage::ended;
    if (wasListening) relay_.listenerClosed(*this);
    if (!resumeToken_.empty()) relay_.releaseResumeToken(resumeToken_);
    peer_.reset();
}

void ListenerSession::ready(const std::string& linkId, const std::string& linkName, bool onAir,
                            std::string resumeToken) {
    linkId_ = linkId;
    resumeToken_ = std::move(resumeToken);
    stage_ = Stage::listening;
    heardAt_ = relay_.clock().now();
    deadline_->expireAt(heardAt_ + relay_.settings().listenerPing);
    peer_->sendText(outgoing::ready(linkName, onAir, resumeToken_));
}

void ListenerSession::endWith(const std::string& message) {
    if (stage_ == Stage::ended || !peer_) return;
    stage_ = Stage::ended;
    deadline_->clear();
    peer_->sendText(message);
    peer_->close(CloseCode::normal);
}

void ListenerSession::sendState(bool onAir) {
    if (stage_ == Stage::listening)
        peer_->sendText(outgoing::state(onAir));
}

void ListenerSession::sendFormat(const std::string& message) {
    if (stage_ == Stage::listening) peer_->sendText(message);
}

void ListenerSession::sendPacket(const SharedBytes& packet) {
    if (stage_ == Stage::listening && !peer_->sendBinary(packet)) ++dropped_;
}

}  // namespace quorvel::relay
