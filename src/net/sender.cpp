#include "net/sender.h"

#include <algorithm>
#include <cstdlib>
#include <future>

#include "audio/packetizer.h"
#include "json/json.h"
#include "net/relay_message.h"
#include "runtime/if_alive.h"

namespace quorvel {

namespace {

using namespace std::chrono_literals;

constexpr Duration kPingInterval = 2s;
// A welcomed connection on which nothing at all arrived for this long (three pings
// unanswered) is lost, like one that closed.
constexpr Duration kSilenceLimit = 6s;
// From opening a connection to its "welcome": name lookup, TCP, TLS, the upgrade and
// the relay's checks (which give up after 10 s themselves).
constexpr Duration kWelcomeLimit = 11s;

}  // namespace

// min(2^n, 10) seconds: 1, 2, 4, 8, 10, 10, …
Duration Sender::reconnectDelay(std::int64_t failures) {
    return failures >= 4 ? Duration(10s) : Duration(std::chrono::seconds(std::int64_t{1} << failures));
}

const std::string Sender::revokedText = "Компьютер отключён в админке — подключите его заново";
const std::string Sender::sessionNotFoundText = "Session not found — choose another session";
const std::string Sender::replacedText = "К серверу подключилась другая студия";

std::string Sender::busyText(std::int64_t maxComputers) {
    return "Сейчас в эфире уже " + std::to_string(maxComputers) + " компьютера — жду, когда освободится место";
}

WebSocketOptions webSocketOptionsFromEnvironment() {
    WebSocketOptions options;
    if (const char* caFile = std::getenv("QUORVEL_CA_FILE"); caFile != nullptr && *caFile != '\0')
        options.extraCaFile = caFile;
    return options;
}

std::shared_ptr<Sender> Sender::create(Config config, std::string key, std::string sessionId, Executor& mainQueue,
                                       Options options) {
    return std::shared_ptr<Sender>(
        new Sender(std::move(config), std::move(key), std::move(sessionId), mainQueue, std::move(options)),
        &Sender::destroy);
}

Sender::Sender(Config config, std::string key, std::string sessionId, Executor& mainQueue, Options options)
    : config_(std::move(config)),
      key_(std::move(key)),
      sessionId_(std::move(sessionId)),
      mainQueue_(mainQueue),
      webSocketOptions_(std::move(options.webSocket)),
      wallClockMs_(options.wallClockMs ? std::move(options.wallClockMs) : &Packetizer::wallClockMs),
      queue_(std::make_unique<SerialQueue>("quorvel.net")),
      timers_(options.timers != nullptr ? options.timers : &queue_->executor()),
      silence_(*timers_),
      packetsWaiting_(queue_->executor().makeWakeup([this] { sendWaitingPackets(); })) {}

// The last owner may let go on the sender's own queue (a completion that held it
// briefly), and that thread cannot join itself: the main queue finishes the job.
void Sender::destroy(Sender* sender) {
    if (sender->queue_->isCurrentThread()) sender->mainQueue_.post([sender] { delete sender; });
    else delete sender;
}

Sender::~Sender() {
    // The connection and the wakeup belong to the queue's thread and its io_context:
    // let go of them there, then stop the thread.
    std::promise<void> released;
    auto done = released.get_future();
    queue_->executor().post([this, &released] {
        pingTimer_.cancel();
        silence_.stop();
        reconnectWork_.cancel();
        if (task_) task_->cancel();
        task_.reset();
        packetsWaiting_.reset();
        released.set_value();
    });
    done.wait();
    queue_.reset();
}

void Sender::start() {
    queue().post([self = shared_from_this()] {
        if (self->wanted_) return;
        self->wanted_ = true;
        self->attempt_ = 0;
        self->connect();
    });
}

void Sender::stop() {
    queue().post([self = shared_from_this()] { self->stopNow(); });
}

// Audio thread: no allocation, no lock, no blocking call.
void Sender::send(Packet packet) {
    if (!packet || !handoff_.push(packet)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    packetsWaiting_->trigger();
}

// Audio thread: no allocation; the lock covers one clock read and one load.
double Sender::serverNowMs() {
    std::lock_guard lock(offsetLock_);
    return wallClockMs_() + offsetMs_;
}

bool Sender::isCurrent(const std::weak_ptr<WebSocketConnection>& connection) const {
    const Connection locked = connection.lock();
    return locked && locked == task_;
}

void Sender::connect() {
    reconnectWork_ = TimerHandle();
    pingTimer_.cancel();
    // Only after "session_ended" and the like can an old connection still be here.
    if (task_) task_->cancel();
    task_ = WebSocketConnection::open(queue_->context(), config_.serverURL, webSocketOptions_);
    authed_ = false;
    inFlight_ = 0;
    clock_.clear();
    watchSilence(kWelcomeLimit);
    receive(task_);
    sendJSON({{"type", "hello"}, {"key", key_}, {"session", sessionId_}}, task_);
    report(attempt_ != 0 ? State::reconnecting() : State::connecting());
}

void Sender::receive(const Connection& connection) {
    connection->receive([weak = weak_from_this(), weakConnection = std::weak_ptr(connection)](
                            boost::system::error_code error, WebSocketConnection::Message message) {
        const auto self = weak.lock();
        if (!self || !self->isCurrent(weakConnection)) return;
        const Connection current = self->task_;
        if (error) return self->handleClose(current);
        // Before "welcome" only its deadline counts: chatter does not extend it.
        if (self->authed_) self->silence_.heard();
        if (!message.binary) self->handle(message.data, current);
        if (self->task_ == current) self->receive(current);
    });
}

void Sender::handle(const std::string& text, const Connection& connection) {
    const auto message = net::readRelayMessage(text);
    if (!message) return;
    const std::string& type = message->type;

    if (type == "welcome") {
        authed_ = true;
        attempt_ = 0;
        busyMessage_.reset();
        watchSilence(kSilenceLimit);
        report(State::connected());
        if (const auto listeners = message->listeners)
            postToOwner([count = *listeners](Sender& self) {
                if (self.onListeners) self.onListeners(count);
            });
        startPing(connection);
    } else if (type == "pong") {
        if (message->pingMs && message->serverMs) handlePong(*message->pingMs, *message->serverMs);
    } else if (type == "listeners") {
        if (const auto count = message->listeners)
            postToOwner([count = *count](Sender& self) {
                if (self.onListeners) self.onListeners(count);
            });
    } else if (type == "error") {
        if (const auto code = message->error) handleError(*code, message->max);
    } else if (type == "session_ended") {
        wanted_ = false;
        report(State::off());
        postToOwner([](Sender& self) {
            if (self.onSessionEnded) self.onSessionEnded();
        });
    } else if (type == "replaced") {
        giveUp(State::failed(replacedText));
    }
}

void Sender::handleError(const std::string& code, std::optional<std::int64_t> maxComputers) {
    if (code == "auth" || code == "revoked") {
        giveUp(State::failed(revokedText));
        postToOwner([](Sender& self) {
            if (self.onRevoked) self.onRevoked();
        });
    } else if (code == "session") {
        giveUp(State::failed(sessionNotFoundText));
        postToOwner([](Sender& self) {
            if (self.onSessionEnded) self.onSessionEnded();
        });
    } else if (code == "busy") {
        // The server closes the connection next; wanted stays true, so the loss retries.
        busyMessage_ = busyText(maxComputers.value_or(3));
        report(State::failed(*busyMessage_));
    }
}

// The server closes the connection next; with wanted false the loss does not retry.
void Sender::giveUp(State state) {
    wanted_ = false;
    report(std::move(state));
}

void Sender::handlePong(double pingMs, double serverMs) {
    const auto offset = clock_.add(pingMs, serverMs, wallClockMs_());
    if (!offset) return;
    std::lock_guard lock(offsetLock_);
    offsetMs_ = *offset;
}

void Sender::sendJSON(const boost::json::object& message, const Connection& connection) {
    connection->sendText(json::serialize(message), nullptr);
}

void Sender::startPing(const Connection& connection) {
    pingTimer_.cancel();
    sendPing(connection);
    pingTimer_ = postRepeating(*timers_, kPingInterval,
                               [weak = weak_from_this(), weakConnection = std::weak_ptr(connection)] {
                                   const auto self = weak.lock();
                                   if (self && self->isCurrent(weakConnection)) self->sendPing(self->task_);
                               });
}

// Silence on the current connection is a loss, handled like a failed receive.
void Sender::watchSilence(Duration limit) {
    silence_.start(limit, [weak = weak_from_this(), weakConnection = std::weak_ptr(task_)] {
        const auto self = weak.lock();
        if (self && self->isCurrent(weakConnection)) self->handleClose(self->task_);
    });
}

void Sender::sendPing(const Connection& connection) {
    sendJSON({{"type", "ping"}, {"t", wallClockMs_()}}, connection);
}

void Sender::sendWaitingPackets() {
    Packet packet;
    while (handoff_.pop(packet)) sendPacket(std::move(packet));
}

void Sender::sendPacket(Packet packet) {
    if (!authed_ || !task_ || inFlight_ >= kMaxInFlight) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ++inFlight_;
    task_->sendBinary(std::move(packet), [weak = weak_from_this(), weakConnection = std::weak_ptr(task_)](
                                             boost::system::error_code error) {
        const auto self = weak.lock();
        if (!self) return;
        self->inFlight_ = std::max<std::int64_t>(0, self->inFlight_ - 1);
        if (error && self->isCurrent(weakConnection)) self->handleClose(self->task_);
    });
}

void Sender::handleClose(Connection connection) {
    if (!connection || connection != task_) return;
    task_.reset();
    authed_ = false;
    pingTimer_.cancel();
    pingTimer_ = TimerHandle();
    silence_.stop();
    connection->cancel();
    if (!wanted_) return;

    const Duration delay = reconnectDelay(attempt_);
    ++attempt_;
    report(busyMessage_ ? State::failed(*busyMessage_) : State::reconnecting());
    reconnectWork_.cancel();
    reconnectWork_ = timers_->postAfter(delay, ifAlive(weak_from_this(), [this] {
                                            if (wanted_ && !task_) connect();
                                        }));
}

void Sender::stopNow() {
    wanted_ = false;
    reconnectWork_.cancel();
    pingTimer_.cancel();
    pingTimer_ = TimerHandle();
    silence_.stop();
    if (task_) {
        // Keeps the sender, and so its queue, alive until the close handshake is over.
        task_->close([self = shared_from_this()] {});
        task_.reset();
    }
    authed_ = false;
    report(State::off());
}

void Sender::report(State state) {
    postToOwner([state = std::move(state)](Sender& self) {
        if (self.onState) self.onState(state);
    });
}

// Delivered in posting order; dropped once the owner has let go of the sender.
void Sender::postToOwner(std::function<void(Sender&)> call) {
    mainQueue_.post(ifAlive(weak_from_this(), [this, call = std::move(call)] { call(*this); }));
}

std::ostream& operator<<(std::ostream& out, const Sender::State& state) {
    switch (state.kind) {
        case Sender::State::Kind::off: return out << "off";
        case Sender::State::Kind::connecting: return out << "connecting";
        case Sender::State::Kind::connected: return out << "connected";
        case Sender::State::Kind::reconnecting: return out << "reconnecting";
        case Sender::State::Kind::failed: return out << "failed(" << state.text << ")";
    }
    return out;
}

}  // namespace quorvel
