#include "net/listen_client.h"

#include <boost/json/object.hpp>
#include <boost/url/parse.hpp>

#include "net/json.h"

namespace quorvel::net {

std::optional<ListenTarget> parseListenLink(std::string_view link) {
    const auto parsed = boost::urls::parse_uri(link);
    if (!parsed || parsed->host_address().empty()) return std::nullopt;
    ListenTarget target;
    if (parsed->scheme() == "https" || parsed->scheme() == "wss")
        target.address.tls = true;
    else if (parsed->scheme() != "http" && parsed->scheme() != "ws")
        return std::nullopt;
    const std::string path = parsed->path();
    constexpr std::string_view kPrefix = "/l/";
    if (!path.starts_with(kPrefix) || path.size() == kPrefix.size() ||
        path.find('/', kPrefix.size()) != std::string::npos)
        return std::nullopt;
    target.sessionId = path.substr(kPrefix.size());
    target.address.host = parsed->host_address();
    target.address.port = parsed->has_port() ? std::string(parsed->port()) : (target.address.tls ? "443" : "80");
    target.address.target = "/ws/listen";
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
                                                   std::string password, WebSocketClientOptions options) {
    return std::shared_ptr<ListenClient>(new ListenClient(context, std::move(target), std::move(password), std::move(options)));
}

ListenClient::ListenClient(boost::asio::io_context& context, ListenTarget target, std::string password,
                           WebSocketClientOptions options)
    : context_(context),
      target_(std::move(target)),
      password_(std::move(password)),
      options_(std::move(options)),
      pingTimer_(context) {}

void ListenClient::start() {
    socket_ = WebSocketClient::create(context_, options_);
    const std::weak_ptr<ListenClient> weak = weak_from_this();
    socket_->onOpen = [weak] {
        const auto self = weak.lock();
        if (!self) return;
        self->socket_->sendText(json::serialize(boost::json::object{
            {"type", "listen"}, {"session", self->target_.sessionId}, {"password", self->password_}}));
    };
    socket_->onMessage = [weak](bool text, std::span<const std::uint8_t> data) {
        const auto self = weak.lock();
        if (!self) return;
        if (text)
            self->handleText(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        else
            self->handlePacket(data);
    };
    socket_->onClosed = [weak](const WebSocketClosed& closed) {
        const auto self = weak.lock();
        if (!self) return;
        if (self->stopping_) return self->finish(std::nullopt);
        if (self->refusal_) return self->finish(self->refusal_);
        self->finish(closed.error.empty() ? "The relay closed the connection (code " + std::to_string(closed.code) + ")."
                                          : "Connection lost: " + closed.error);
    };
    socket_->connect(target_.address);
}

void ListenClient::stop() {
    if (stopping_ || finished_) return;
    stopping_ = true;
    pingTimer_.cancel();
    if (socket_) socket_->close(1000);
}

void ListenClient::handleText(std::string_view text) {
    const auto message = json::parseObject(text);
    if (!message) return;
    const auto type = json::string(json::member(*message, "type"));
    if (type == "ready") {
        const auto* onAir = json::member(*message, "onAir");
        if (onStatus) onStatus(onAir && onAir->is_bool() && onAir->get_bool() ? "On air." : "Waiting for the studio to go on air.");
        ping();
    } else if (type == "state") {
        const auto* onAir = json::member(*message, "onAir");
        const bool live = onAir && onAir->is_bool() && onAir->get_bool();
        // A new broadcast numbers its packets from 0 again.
        expectedSequence_.reset();
        if (onStatus) onStatus(live ? "On air." : "The studio went off air.");
    } else if (type == "pong") {
        const auto t = json::number(json::member(*message, "t"));
        const auto s = json::number(json::member(*message, "s"));
        if (t && s) clock_.addPong(*t, *s, localNowMs());
    } else if (type == "session_ended") {
        refusal_ = "The link has ended.";
    } else if (type == "error") {
        refusal_ = refusalText(json::string(json::member(*message, "error")).value_or("?"));
    }
}

void ListenClient::handlePacket(std::span<const std::uint8_t> bytes) {
    const double arrival = localNowMs() + clock_.offsetMs();
    const auto header = packet_format::readHeader(bytes);
    if (!header) {
        ++stats_.malformed;
        return;
    }
    ++stats_.received;
    if (expectedSequence_) {
        const std::uint32_t gap = header->sequence - *expectedSequence_;
        // A jump backwards (a restarted broadcast) is not a loss.
        if (gap < 0x80000000u) stats_.lost += gap;
    }
    expectedSequence_ = header->sequence + 1;
    if (clock_.synchronised()) stats_.latencyMs.push_back(arrival - header->timestampMs);
    if (onPacket) onPacket(*header, bytes.subspan(packet_format::kHeaderBytes));
}

void ListenClient::ping() {
    if (stopping_ || finished_) return;
    socket_->sendText(json::serialize(boost::json::object{{"type", "ping"}, {"t", localNowMs()}}));
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
