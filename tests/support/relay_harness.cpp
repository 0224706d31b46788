#include "support/relay_harness.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/object.hpp>
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>

#include "audio/packet_format.h"
#include "audio/packet_pool.h"
#include "json/json.h"
#include "relay/admin.h"

namespace quorvel::test {

// ---- RunningRelay ------------------------------------------------------------------------------

RunningRelay::RunningRelay(const std::filesystem::path& dataDir, const Customize& customize) {
    relay::RelayServerOptions options;
    options.web.address = "127.0.0.1";
    options.web.port = 0;
    options.dataDir = dataDir;
    options.clock = &clock_;
    options.settings.passwordCost = relay::secrets::Cost::minimum;
    options.sweepInterval = 20ms;
    options.storePollInterval = 50ms;
    options.log = [this](std::string_view line) {
        std::lock_guard lock(logMutex_);
        log_.emplace_back(line);
    };
    if (customize) customize(options);
    tls_ = options.web.tlsCertificate.has_value();
    auto server = relay::RelayServer::create(std::move(options));
    if (!server) {
        ADD_FAILURE() << "relay did not start: " << server.error();
        return;
    }
    server_ = std::move(server.value());
    thread_ = std::thread([this] { server_->run(); });
}

RunningRelay::~RunningRelay() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string RunningRelay::httpBase() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(server_ ? server_->port() : 0);
}

std::string RunningRelay::wsUrl(const std::string& path) const {
    return std::string(tls_ ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(server_ ? server_->port() : 0) + path;
}

std::vector<std::string> RunningRelay::logLines() const {
    std::lock_guard lock(logMutex_);
    return log_;
}

bool RunningRelay::eventually(const std::function<bool()>& condition, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// ---- HTTP ------------------------------------------------------------------------------------

namespace {

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One header line of the answer, kept as lower-case name and trimmed value.
std::size_t keepHeader(char* data, std::size_t size, std::size_t count, void* out) {
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        const auto first = line.find_first_not_of(" \t", colon + 1);
        const auto last = line.find_last_not_of(" \t\r\n");
        (*static_cast<std::map<std::string, std::string>*>(out))[name] =
            first == std::string::npos || last < first ? std::string() : line.substr(first, last - first + 1);
    }
    return size * count;
}

}  // namespace

HttpReply httpRequest(const std::string& method, const std::string& url, const std::string& body,
                      const std::optional<std::string>& caFile, const std::vector<std::string>& requestHeaders) {
    HttpReply reply;
    CURL* curl = curl_easy_init();
    char error[CURL_ERROR_SIZE] = {};
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    for (const auto& line : requestHeaders) headers = curl_slist_append(headers, line.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST" || !body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (method == "GET" && body.empty()) curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keepHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (caFile) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile->c_str());
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    else
        reply.error = error[0] ? error : curl_easy_strerror(code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

// ---- TestSocket -----------------------------------------------------------------------------

TestSocket::TestSocket(std::optional<std::string> caFile) {
    options_.extraCaFile = std::move(caFile);
    options_.maxMessageBytes = 4 * 1024 * 1024;
}

TestSocket::~TestSocket() {
    if (!connection_) return;
    connection_->cancel();
    context_.restart();
    context_.poll();
}

bool TestSocket::connect(const std::string& url, std::chrono::milliseconds within) {
    connection_ = WebSocketConnection::open(context_, url, options_);
    receive();
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!connection_->isOpen() && !closed_ && std::chrono::steady_clock::now() < deadline) context_.run_one_for(10ms);
    return connection_->isOpen() && !closed_;
}

void TestSocket::receive() {
    connection_->receive([this](boost::system::error_code error, WebSocketConnection::Message message) {
        if (error) {
            const auto code = connection_->closeCode();
            closed_ = true;
            closeReason_ = code ? "" : error.message();
            events_.push_back(WsEvent{WsEvent::closed, {}, code.value_or(0), closeReason_});
            return;
        }
        events_.push_back(WsEvent{message.binary ? WsEvent::binary : WsEvent::text, std::move(message.data), 0, {}});
        receive();
    });
}

void TestSocket::sendText(const std::string& text) {
    ++sending_;
    connection_->sendText(text, [this](boost::system::error_code) { --sending_; });
    context_.poll();
}

void TestSocket::sendBinary(const std::vector<std::uint8_t>& bytes) {
    // The sender's own path: the bytes travel in a pooled packet buffer.
    Packet packet = PacketPool::create(bytes.size(), 1)->acquire(bytes.size());
    std::copy(bytes.begin(), bytes.end(), packet.mutableBytes().begin());
    ++sending_;
    connection_->sendBinary(std::move(packet), [this](boost::system::error_code) { --sending_; });
    context_.poll();
}

void TestSocket::close() {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (sending_ > 0 && !closed_ && std::chrono::steady_clock::now() < deadline) {
        if (context_.stopped()) context_.restart();
        context_.run_one_for(10ms);
    }
    connection_->close([] {});
    while (!closed_ && std::chrono::steady_clock::now() < deadline) {
        if (context_.stopped()) context_.restart();
        context_.run_one_for(10ms);
    }
}

WsEvent TestSocket::next(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (events_.empty() && std::chrono::steady_clock::now() < deadline) {
        if (context_.stopped()) context_.restart();
        context_.run_one_for(10ms);
    }
    if (events_.empty()) return WsEvent{};
    WsEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

std::optional<std::string> TestSocket::nextOfType(const std::string& type, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        WsEvent event = next(remaining);
        if (event.kind == WsEvent::closed) {
            events_.push_front(event);
            return std::nullopt;
        }
        if (event.kind == WsEvent::timeout) return std::nullopt;
        if (event.kind != WsEvent::text) continue;
        const auto object = json::parseObject(event.data);
        if (object && json::string(json::member(*object, "type")) == type) return event.data;
    }
    return std::nullopt;
}

std::optional<std::string> TestSocket::nextBinary(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        WsEvent event = next(remaining);
        if (event.kind == WsEvent::binary) return std::move(event.data);
        if (event.kind == WsEvent::closed) {
            events_.push_front(event);
            return std::nullopt;
        }
        if (event.kind == WsEvent::timeout) return std::nullopt;
    }
    return std::nullopt;
}

WsEvent TestSocket::waitClosed(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        WsEvent event = next(remaining);
        if (event.kind == WsEvent::closed || event.kind == WsEvent::timeout) return event;
    }
    return WsEvent{};
}

void TestSocket::pump(std::chrono::microseconds duration) {
    if (context_.stopped()) context_.restart();
    context_.run_for(duration);
}

// ---- RawConnection ---------------------------------------------------------------------------

struct RawConnection::State {
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket{context};
    bool connected = false;
};

RawConnection::RawConnection(std::uint16_t port, const std::string& from) : state_(std::make_unique<State>()) {
    boost::system::error_code error;
    state_->socket.open(boost::asio::ip::tcp::v4(), error);
    if (!error) state_->socket.bind({boost::asio::ip::make_address(from), 0}, error);
    if (!error) state_->socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
    state_->connected = !error;
}

RawConnection::~RawConnection() = default;

bool RawConnection::connected() const {
    return state_->connected;
}

bool RawConnection::send(const std::string& bytes) {
    boost::system::error_code error;
    boost::asio::write(state_->socket, boost::asio::buffer(bytes), error);
    return !error;
}

std::string RawConnection::readUntilClosed(std::chrono::milliseconds within, bool& closedByPeer) {
    closedByPeer = false;
    return read([](const std::string&) { return false; }, within, closedByPeer);
}

std::string RawConnection::readUntil(const std::function<bool(const std::string&)>& enough,
                                     std::chrono::milliseconds within) {
    bool closedByPeer = false;
    return read(enough, within, closedByPeer);
}

std::string RawConnection::read(const std::function<bool(const std::string&)>& enough, std::chrono::milliseconds within,
                                bool& closedByPeer) {
    std::string received;
    char chunk[4096];
    bool reading = true;
    std::function<void()> readMore = [&] {
        state_->socket.async_read_some(boost::asio::buffer(chunk), [&](boost::system::error_code error, std::size_t n) {
            received.append(chunk, n);
            if (error) {
                closedByPeer = error != boost::asio::error::operation_aborted;
                reading = false;
                return;
            }
            if (enough(received)) {
                reading = false;
                return;
            }
            readMore();
        });
    };
    readMore();
    state_->context.restart();
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (reading && std::chrono::steady_clock::now() < deadline) state_->context.run_one_until(deadline);
    if (reading) {
        state_->socket.cancel();
        state_->context.restart();
        state_->context.run();
    }
    return received;
}

// ---- A WebSocket from another loopback address ------------------------------------------------

namespace {

// The payload of the first complete frame after the handshake answer in `bytes`.
std::optional<std::string> firstFrame(const std::string& bytes) {
    const auto start = bytes.find("\r\n\r\n");
    if (start == std::string::npos || !bytes.starts_with("HTTP/1.1 101")) return std::nullopt;
    std::size_t at = start + 4;
    if (bytes.size() < at + 2) return std::nullopt;
    std::size_t length = static_cast<unsigned char>(bytes[at + 1]) & 0x7F;
    at += 2;
    if (length == 126) {
        if (bytes.size() < at + 2) return std::nullopt;
        length = (static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])) << 8) |
                 static_cast<unsigned char>(bytes[at + 1]);
        at += 2;
    }
    if (bytes.size() < at + length) return std::nullopt;
    return bytes.substr(at, length);
}

}  // namespace

std::optional<std::string> listenFrom(const RunningRelay& relay, const std::string& from, const std::string& text) {
    RawConnection connection(relay.port(), from);
    // A client's frames are masked; a zero mask leaves the payload as it is.
    std::string frame{'\x81'};
    if (text.size() < 126) {
        frame += static_cast<char>(0x80 | text.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(text.size() >> 8);
        frame += static_cast<char>(text.size() & 0xFF);
    }
    frame += std::string(4, '\0') + text;
    connection.send("GET /ws/listen HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    // Frames only after the handshake's answer.
    std::string received = connection.readUntil(
        [](const std::string& bytes) { return bytes.find("\r\n\r\n") != std::string::npos; }, 5s);
    connection.send(frame);
    received += connection.readUntil([&](const std::string& bytes) { return firstFrame(received + bytes).has_value(); }, 5s);
    return firstFrame(received);
}

std::string memberOf(const std::optional<std::string>& text, const std::string& name) {
    const auto object = text ? json::parseObject(*text) : std::nullopt;
    return object ? json::string(json::member(*object, name)).value_or("") : "";
}

// ---- Studio set-up ------------------------------------------------------------------------------

void setStudioPassword(const std::filesystem::path& dataDir, const std::string& password) {
    const auto done = relay::admin::setStudioPassword(dataDir, password, relay::secrets::Cost::minimum);
    ASSERT_TRUE(done) << done.error();
}

std::string jsonText(const std::string& key, const std::string& value) {
    return json::serialize(boost::json::object{{key, value}});
}

std::string helloText(const std::string& key, const std::string& linkId) {
    return json::serialize(boost::json::object{{"type", "hello"}, {"key", key}, {"session", linkId}});
}

std::string listenText(const std::string& linkId, const std::string& password) {
    return json::serialize(boost::json::object{{"type", "listen"}, {"session", linkId}, {"password", password}});
}

std::unique_ptr<TestSocket> onAir(const RunningRelay& relay, const std::string& key, const std::string& linkId) {
    auto socket = std::make_unique<TestSocket>();
    EXPECT_TRUE(socket->connect(relay.wsUrl("/ws/send"))) << socket->closeReason();
    socket->sendText(helloText(key, linkId));
    EXPECT_TRUE(socket->nextOfType("welcome")) << "no welcome";
    return socket;
}

std::unique_ptr<TestSocket> listening(const RunningRelay& relay, const std::string& linkId, const std::string& password) {
    auto socket = std::make_unique<TestSocket>();
    EXPECT_TRUE(socket->connect(relay.wsUrl("/ws/listen"))) << socket->closeReason();
    socket->sendText(listenText(linkId, password));
    EXPECT_TRUE(socket->nextOfType("ready")) << "no ready";
    return socket;
}

std::optional<std::string> refusal(const RunningRelay& relay, const std::string& path, const std::string& text) {
    TestSocket socket;
    EXPECT_TRUE(socket.connect(relay.wsUrl(path))) << socket.closeReason();
    socket.sendText(text);
    const auto error = socket.nextOfType("error");
    EXPECT_EQ(socket.waitClosed().kind, WsEvent::closed) << "the relay closes after an error";
    const auto object = error ? json::parseObject(*error) : std::nullopt;
    return object ? json::string(json::member(*object, "error")) : std::nullopt;
}

std::string pairDevice(const RunningRelay& relay, const std::string& studioPassword, const std::string& name) {
    const auto reply = httpPost(relay.httpBase() + "/api/pair",
                                json::serialize(boost::json::object{{"password", studioPassword}, {"name", name}}));
    EXPECT_EQ(reply.status, 200) << reply.body << reply.error;
    const auto body = json::parseObject(reply.body);
    const auto key = body ? json::string(json::member(*body, "key")) : std::nullopt;
    EXPECT_TRUE(key.has_value()) << reply.body;
    return key.value_or("");
}

std::string createLink(const RunningRelay& relay, const std::string& key, const std::string& password,
                       int maxListeners, const std::string& name) {
    const auto reply = httpPost(relay.httpBase() + "/api/device/sessions",
                                json::serialize(boost::json::object{
                                    {"key", key}, {"name", name}, {"password", password}, {"maxListeners", maxListeners}}));
    EXPECT_EQ(reply.status, 200) << reply.body << reply.error;
    const auto body = json::parseObject(reply.body);
    const auto* session = body ? json::member(*body, "session") : nullptr;
    const auto id = session && session->is_object() ? json::string(json::member(session->as_object(), "id")) : std::nullopt;
    EXPECT_TRUE(id.has_value()) << reply.body;
    return id.value_or("");
}

std::vector<std::uint8_t> testPacket(std::uint32_t sequence, std::uint8_t channels, std::uint32_t rate) {
    std::vector<std::uint8_t> bytes(packet_format::packetBytes(channels, rate / 50));
    packet_format::writeHeader(bytes.data(), {channels, rate, sequence, ManualClock::kStartWallMs + sequence * 20.0});
    for (std::size_t i = packet_format::kHeaderBytes; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(sequence + i);
    return bytes;
}

}  // namespace quorvel::test
