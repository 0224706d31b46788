#include "net/listen_client.h"

#include <boost/json/object.hpp>
#include <boost/url/parse.hpp>

#include "audio/packetizer.h"
#include "json/json.h"
#include "net/relay_message.h"

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

std::string refusalText(const std::string& code) {
    if (code == "password") return "Wrong password for this link.";
    if (code == "session") return "This link does not exist or has ended.";
    if (code == "full") return "This link already has as many listeners as it allows.";
    return "The relay refused (" + code + ").";
}

}  // namespace

std::shared_ptr<ListenClient> ListenClient::create(boost::asio::io_context& context, ListenTarget target,
                                                   std::string password, WebSocketOptions options) {
    return std::shared_ptr<ListenClient>(new ListenClient(context, std::move(target), std::move(password), std::move(options)));
}

ListenClient::ListenClient(boost::asio::io_context& context, ListenTarget target, std::string password,
                           WebSocketOptions options)
    : context_(context),
      target_(std::move(target)),
      password_(std::move(password)),
      options_(std::move(options)),
      pingTimer_(context) {}

void ListenClient::start() {
    socket_ = WebSocketConnection::open(context_, target_.url, options_);
    // Waits in the connection's queue until the upgrade is done.
    socket_->sendText(json::serialize(boost::json::object{
                          {"type", "listen"}, {"session", target_.sessionId}, {"password", password_}}),
                      nullptr);
    receive();
}

void ListenClient::receive() {
    socket_->receive([weak = weak_from_this()](boost::system::error_code error, WebSocketConnection::Message message) {
        const auto self = weak.lock();
        if (!self) return;
        if (error) return self->handleClosed(error);
        if (message.binary)
            self->handlePacket(std::span(reinterpret_cast<const std::uint8_t*>(message.data.data()), message.data.size()));
        else
            self->handleText(message.data);
        if (!self->finished_) self->receive();
    });
}

void ListenClient::handleClosed(boost::system::error_code error) {
    if (stopping_) return finish(std::nullopt);
    if (refusal_) return finish(refusal_);
    if (const auto code = socket_->closeCode())
        return finish("The relay closed the connection (code " + std::to_string(*code) + ").");
    finish("Connection lost: " + error.message());
}

void ListenClient::stop() {
    if (stopping_ || finished_) return;
    stopping_ = true;
    pingTimer_.cancel();
    if (socket_) socket_->close([] {});
}

void ListenClient::handleText(std::string_view text) {
    const auto message = readRelayMessage(text);
    if (!message) return;
    const std::string& type = message->type;
    if (type == "ready") {
        if (onStatus) onStatus(message->onAir ? "On air." : "Waiting for the studio to go on air.");
        ping();
    } else if (type == "state") {
        stats_.restart();
        if (onStatus) onStatus(message->onAir ? "On air." : "The studio went off air.");
    } else if (type == "pong") {
        const auto offset = message->pingMs && message->serverMs
                                ? clock_.add(*message->pingMs, *message->serverMs, Packetizer::wallClockMs())
                                : std::nullopt;
        if (offset) offsetMs_ = *offset;
    } else if (type == "session_ended") {
        refusal_ = "The link has ended.";
    } else if (type == "error") {
        refusal_ = refusalText(message->error.value_or("?"));
    }
}

void ListenClient::handlePacket(std::span<const std::uint8_t> bytes) {
    const double arrival = Packetizer::wallClockMs() + offsetMs_;
    const auto header = stats_.count(bytes);
    if (!header) return;
    if (clock_.size() > 0) stats_.latencyMs.push_back(arrival - header->timestampMs);
    if (onPacket) onPacket(*header, bytes.subspan(packet_format::kHeaderBytes));
}

void ListenClient::ping() {
    if (stopping_ || finished_) return;
    socket_->sendText(json::serialize(boost::json::object{{"type", "ping"}, {"t", Packetizer::wallClockMs()}}), nullptr);
    pingTimer_.expires_after(std::chrono::seconds(2));
    pingTimer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
        if (error) return;
        if (const auto self = weak.lock()) self->ping();
    });
}

void ListenClient::finish(std::optional<std::string> failure) {
    if (finished_) return;
    finished_ = true;
    pingTimer_.cancel();
    if (onFinished) onFinished(std::move(failure));
}

}  // namespace quorvel::net
