#include "net/listen_client.h"

#include <boost/json/object.hpp>
#include <boost/url/parse.hpp>

#include <array>
#include <cstdio>

#include "audio/packetizer.h"
#include "json/json.h"
#include "net/relay_message.h"
#include "runtime/if_alive.h"

namespace quorvel::net {

std::optional<ListenTarget> parseListenLink(std::string_view link) {
    const auto parsed = boost::urls::parse_uri(link);
    if (!parsed || parsed->host_address().empty()) return std::nullopt;
    bool secure = false;
    if (parsed->scheme() == "https" || parsed->scheme() == "wss")
        secure = true;
    else if (parsed->scheme() != "http" && parsed->scheme() != "ws")
        return std::nullopt;
    const std::string path = parsed->path();
    constexpr std::string_view kPrefix = "/l/";
    if (!path.starts_with(kPrefix) || path.size() == kPrefix.size() ||
        path.find('/', kPrefix.size()) != std::string::npos)
        return std::nullopt;
    ListenTarget target;
    target.sessionId = path.substr(kPrefix.size());
    target.url = (secure ? "wss://" : "ws://") + std::string(parsed->encoded_host_and_port()) + "/ws/listen";
    return target;
}

namespace {

using namespace std::chrono_literals;

constexpr Duration kPingInterval = 2s;
// The relay answers every ping: three unanswered ones mean the route is gone.
constexpr Duration kSilenceLimit = 6s;
constexpr Duration kReadyLimit = 11s;
// The listener page's steps.
constexpr std::array<Duration, 6> kBackoff = {500ms, 1s, 2s, 4s, 8s, 10s};

// The refusals the relay would repeat: asking again cannot help.
std::optional<std::string> finalRefusal(const std::string& code) {
    if (code == "password") return "Wrong password for this link.";
    if (code == "session") return "This link does not exist or has ended.";
    if (code == "full") return "This link already has as many listeners as it allows.";
    if (code == "too_many_attempts") return "Too many wrong passwords; try again in 15 minutes.";
    if (code == "format") return "The relay does not offer that format.";
    return std::nullopt;
}

std::string passingRefusal(const std::string& code) {
    if (code == "busy") return "The relay is busy";
    if (code == "shutdown") return "The relay is restarting";
    return "The relay refused (" + code + ")";
}

std::string seconds(Duration duration) {
    char text[16];
    std::snprintf(text, sizeof text, "%g", std::chrono::duration<double>(duration).count());
    return text;
}

}  // namespace

std::shared_ptr<ListenClient> ListenClient::create(boost::asio::io_context& context, ListenTarget target,
                                                   std::string password, WebSocketOptions options, Executor* timers) {
    return std::shared_ptr<ListenClient>(
        new ListenClient(context, std::move(target), std::move(password), std::move(options), timers));
}

ListenClient::ListenClient(boost::asio::io_context& context, ListenTarget target, std::string password,
                           WebSocketOptions options, Executor* timers)
    : context_(context),
      target_(std::move(target)),
      password_(std::move(password)),
      options_(std::move(options)),
      ownTimers_(context),
      timers_(timers != nullptr ? *timers : ownTimers_),
      silence_(timers_) {}

void ListenClient::start() {
    connect();
}

void ListenClient::connect() {
    ready_ = false;
    dropped_.reset();
    socket_ = WebSocketConnection::open(context_, target_.url, options_);
    watchSilence(kReadyLimit, "The relay did not answer within 11 seconds");
    // Waits in the connection's queue until the upgrade is done. The token of the last
    // "ready" spares the relay a password check, as the page's reconnections do.
    boost::json::object listen{{"type", "listen"}, {"session", target_.sessionId}, {"password", password_}};
    if (resume_) listen["resume"] = *resume_;
    if (form.codec != packet_format::Codec::pcm) listen["format"] = codecName(form.codec);
    if (form.codec == packet_format::Codec::opus) listen["kbps"] = form.kbps;
    socket_->sendText(json::serialize(listen), nullptr);
    receive(socket_);
}

void ListenClient::receive(const Connection& socket) {
    socket->receive([weak = weak_from_this(), weakSocket = std::weak_ptr(socket)](boost::system::error_code error,
                                                                                  WebSocketConnection::Message message) {
        const auto self = weak.lock();
        if (!self || !self->socket_ || weakSocket.lock() != self->socket_) return;
        if (error) return self->handleClosed(error);
        if (self->ready_) self->silence_.heard();
        if (message.binary)
            self->handlePacket(std::span(reinterpret_cast<const std::uint8_t*>(message.data.data()), message.data.size()));
        else
            self->handleText(message.data);
        if (!self->finished_ && self->socket_) self->receive(self->socket_);
    });
}

void ListenClient::handleClosed(boost::system::error_code error) {
    if (stopping_) return finish(std::nullopt);
    if (refusal_) return finish(refusal_);
    if (dropped_) return reconnect(*dropped_);
    if (const auto code = socket_->closeCode())
        return reconnect("The relay closed the connection (code " + std::to_string(*code) + ")");
    reconnect("Connection lost: " + error.message());
}

void ListenClient::stop() {
    if (stopping_ || finished_) return;
    stopping_ = true;
    pingTimer_.cancel();
    reconnectTimer_.cancel();
    silence_.stop();
    if (!socket_) return finish(std::nullopt);
    socket_->close([] {});
}

// Silence is a lost connection.
void ListenClient::watchSilence(Duration limit, std::string what) {
    silence_.start(limit, ifAlive(weak_from_this(), [this, what = std::move(what)] {
                       if (!stopping_ && !finished_ && socket_) reconnect(what);
                   }));
}

void ListenClient::reconnect(const std::string& why) {
    pingTimer_.cancel();
    silence_.stop();
    if (socket_) socket_->cancel();
    socket_.reset();
    const Duration delay = kBackoff[std::min(failures_, kBackoff.size() - 1)];
    ++failures_;
    if (onStatus) onStatus(why + "; reconnecting in " + seconds(delay) + " s.");
    reconnectTimer_ = timers_.postAfter(delay, ifAlive(weak_from_this(), [this] {
                                            if (!stopping_ && !finished_) connect();
                                        }));
}

void ListenClient::handleText(std::string_view text) {
    const auto message = readRelayMessage(text);
    if (!message) return;
    const std::string& type = message->type;
    if (type == "ready") {
        ready_ = true;
        failures_ = 0;
        resume_ = message->resume;
        watchSilence(kSilenceLimit, "Connection lost: nothing came from the relay for 6 seconds");
        ping();
        pingTimer_.cancel();
        pingTimer_ = postRepeating(timers_, kPingInterval, ifAlive(weak_from_this(), [this] { ping(); }));
        // Last: whoever hears it may count on the watch and the pings being set.
        if (onStatus) onStatus(message->onAir ? "On air." : "Waiting for the studio to go on air.");
    } else if (type == "state") {
        if (onStatus) onStatus(message->onAir ? "On air." : "The studio went off air.");
    } else if (type == "pong") {
        const auto offset = message->pingMs && message->serverMs
                                ? clock_.add(*message->pingMs, *message->serverMs, Packetizer::wallClockMs())
                                : std::nullopt;
        if (offset) offsetMs_ = *offset;
    } else if (type == "session_ended") {
        refusal_ = "The link has ended.";
    } else if (type == "error") {
        const std::string code = message->error.value_or("?");
        refusal_ = finalRefusal(code);
        if (!refusal_) dropped_ = passingRefusal(code);
    }
}

void ListenClient::handlePacket(std::span<const std::uint8_t> bytes) {
    const double arrival = Packetizer::wallClockMs() + offsetMs_;
    const auto heard = stats_.count(bytes, timers_.now());
    if (!heard) return;
    if (clock_.size() > 0) stats_.latencyMs.push_back(arrival - heard->header.timestampMs);
    if (onPacket) onPacket(heard->header, bytes.subspan(packet_format::kHeaderBytes), heard->before);
}

void ListenClient::ping() {
    if (stopping_ || finished_ || !socket_) return;
    socket_->sendText(json::serialize(boost::json::object{{"type", "ping"}, {"t", Packetizer::wallClockMs()}}), nullptr);
}

void ListenClient::finish(std::optional<std::string> failure) {
    if (finished_) return;
    finished_ = true;
    pingTimer_.cancel();
    reconnectTimer_.cancel();
    silence_.stop();
    if (onFinished) onFinished(std::move(failure));
}

}  // namespace quorvel::net
