#include "relay/relay.h"

#include <boost/json/array.hpp>

#include <algorithm>
#include <cmath>

#include "audio/packet_format.h"
#include "json/json.h"
#include "relay/listener_page.h"

namespace quorvel::relay {

namespace {

constexpr std::string_view kSessionsPrefix = "/api/device/sessions/";
constexpr std::string_view kEndSuffix = "/end";
constexpr std::string_view kPagePrefix = "/l/";
constexpr std::string_view kPageFilesPrefix = "/listener/";

HttpResponse jsonResponse(int status, const boost::json::object& body) {
    return HttpResponse{status, "application/json", json::serialize(body), {}};
}

HttpResponse errorResponse(int status, const std::string& code) {
    return jsonResponse(status, boost::json::object{{"error", code}});
}

HttpResponse methodNotAllowed(const std::string& allowed) {
    return HttpResponse{405, "application/json", R"({"error":"method"})", {{"Allow", allowed}}};
}

std::size_t characters(std::string_view utf8) {
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Names end up in tab-separated listings, logs and pages: no control characters.
std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

std::string trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(kSpace) - first + 1));
}

// At most `limit` characters of valid UTF-8 `text`.
std::string firstCharacters(const std::string& text, std::size_t limit) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == limit) return text.substr(0, i);
    }
    return text;
}

std::int64_t nowMs() {
    return static_cast<std::int64_t>(std::floor(wallClockMs()));
}

std::optional<packet_format::Header> acceptedPacket(std::span<const std::uint8_t> bytes) {
    const auto header = packet_format::readHeader(bytes);
    if (!header) return std::nullopt;
    switch (header->sampleRate) {
    case 44100: case 48000: case 88200: case 96000: break;
    default: return std::nullopt;
    }
    if (bytes.size() != packet_format::packetBytes(header->channels, header->sampleRate / 50)) return std::nullopt;
    return header;
}

const std::string kStorageError = "storage";

}  // namespace

Relay::Relay(boost::asio::io_context& context, Store& store, Deadlines& deadlines, const Clock& clock,
             RelaySettings settings, LogSink log)
    : store_(store),
      deadlines_(deadlines),
      clock_(clock),
      settings_(std::move(settings)),
      log_(std::move(log)),
      pairLimiter_(settings_.pairLimits),
      listenAddressLimiter_(settings_.listenAddressLimits),
      listenLinkLimiter_(settings_.listenLinkLimits),
      hashWorker_(context, settings_.maxPendingHashes) {}

// ---- HTTP ------------------------------------------------------------------------------

void Relay::handleRequest(HttpRequest request, Respond respond) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    const bool post = request.method == "POST";
    if (path == "/api/pair") return post ? pair(request, std::move(respond)) : respond(methodNotAllowed("POST"));
    if (path == "/api/device/sessions")
        return post ? createLink(request, std::move(respond)) : respond(methodNotAllowed("POST"));
    if (path == "/api/device/sessions/list")
        return post ? listLinks(request, std::move(respond)) : respond(methodNotAllowed("POST"));
    if (path.starts_with(kSessionsPrefix) && path.ends_with(kEndSuffix) &&
        path.size() > kSessionsPrefix.size() + kEndSuffix.size()) {
        const std::string id = path.substr(kSessionsPrefix.size(), path.size() - kSessionsPrefix.size() - kEndSuffix.size());
        if (id.find('/') == std::string::npos)
            return post ? endLink(request, id, std::move(respond)) : respond(methodNotAllowed("POST"));
    }
    if (path.starts_with(kPagePrefix) && path.size() > kPagePrefix.size() &&
        path.find('/', kPagePrefix.size()) == std::string::npos) {
        if (request.method != "GET") return respond(methodNotAllowed("GET"));
        return listenerPage(path.substr(kPagePrefix.size()), request.ifNoneMatch, std::move(respond));
    }
    if (path.starts_with(kPageFilesPrefix)) {
        if (request.method != "GET") return respond(methodNotAllowed("GET"));
        return respond(relay::listenerFile(std::string_view(path).substr(kPageFilesPrefix.size()), request.ifNoneMatch));
    }
    if (path == "/ws/send" || path == "/ws/listen") {
        if (request.method != "GET") return respond(methodNotAllowed("GET"));
        return respond(errorResponse(426, "upgrade_required"));
    }
    respond(jsonResponse(404, {}));
}

void Relay::pair(const HttpRequest& request, Respond respond) {
    const auto body = json::parseObject(request.body);
    const auto password = body ? json::string(json::member(*body, "password")) : std::nullopt;
    const auto name = body ? json::string(json::member(*body, "name")) : std::nullopt;
    if (!password || !name) return respond(errorResponse(400, "bad_request"));

    auto hash = store_.studioPasswordHash();
    if (!hash) return respond(errorResponse(500, kStorageError));
    if (!hash.value()) return respond(errorResponse(404, "not_set"));

    const std::string address = request.remoteAddress;
    if (!pairLimiter_.begin(address, clock_.now())) {
        log("pair refused: too many attempts from " + address);
        return respond(errorResponse(429, "too_many_attempts"));
    }
    std::string cleanName = firstCharacters(trimmed(printable(*name)), 80);
    if (cleanName.empty()) cleanName = "Computer";
    const bool queued = hashWorker_.run<bool>(
        HashUse::pairing,
        [stored = std::move(*hash.value()), password = *password] { return secrets::verifyPassword(stored, password); },
        [this, address, cleanName, respond](bool matches) {
            pairLimiter_.finish(address, matches, clock_.now());
            if (!matches) {
                log("pair refused: wrong studio password from " + address);
                return respond(errorResponse(401, "password"));
            }
            const std::string key = secrets::randomToken(32);
            auto device = store_.addDevice(cleanName, secrets::keyDigest(key), nowMs());
            if (!device) return respond(errorResponse(500, kStorageError));
            log("paired device " + std::to_string(device->id) + " from " + address);
            respond(jsonResponse(200, {{"key", key}, {"name", device->name}}));
        });
    if (!queued) {
        pairLimiter_.finish(address, true, clock_.now());
        respond(errorResponse(503, "busy"));
    }
}

std::optional<Device> Relay::authenticate(const boost::json::object& body, Respond& respond) {
    const auto key = json::string(json::member(body, "key"));
    if (!key) {
        respond(errorResponse(401, "auth"));
        return std::nullopt;
    }
    auto device = store_.deviceByKeyDigest(secrets::keyDigest(*key));
    if (!device) {
        respond(errorResponse(500, kStorageError));
        return std::nullopt;
    }
    if (!device.value() || device.value()->revokedAtMs) {
        respond(errorResponse(401, "auth"));
        return std::nullopt;
    }
    return *device.value();
}

void Relay::createLink(const HttpRequest& request, Respond respond) {
    const auto body = json::parseObject(request.body);
    if (!body) return respond(errorResponse(400, "bad_request"));
    const auto device = authenticate(*body, respond);
    if (!device) return;

    const auto rawName = json::string(json::member(*body, "name"));
    const std::string name = rawName ? trimmed(printable(*rawName)) : std::string();
    if (name.empty() || characters(name) > 80) return respond(errorResponse(400, "name"));
    const auto password = json::string(json::member(*body, "password"));
    if (!password || characters(*password) < 4 || characters(*password) > 100)
        return respond(errorResponse(400, "password"));
    const auto max = json::integral(json::member(*body, "maxListeners"));
    if (!max || *max < 1 || *max > 5) return respond(errorResponse(400, "max"));

    LinkRecord link;
    link.id = secrets::randomToken(16);
    link.name = name;
    link.maxListeners = *max;
    link.createdAtMs = nowMs();
    link.deviceId = device->id;
    const auto cost = settings_.passwordCost;
    const bool queued = hashWorker_.run<std::optional<std::string>>(
        HashUse::device, [password = *password, cost] { return secrets::hashPassword(password, cost); },
        [this, link, respond](std::optional<std::string> hash) mutable {
            if (!hash) return respond(errorResponse(503, "busy"));
            link.passwordHash = std::move(*hash);
            if (!store_.addLink(link)) return respond(errorResponse(500, kStorageError));
            log("link " + link.id + " created by device " + std::to_string(link.deviceId));
            respond(jsonResponse(200, {{"session", linkJson(link)}}));
        });
    if (!queued) respond(errorResponse(503, "busy"));
}

void Relay::listLinks(const HttpRequest& request, Respond respond) {
    const auto body = json::parseObject(request.body);
    if (!body) return respond(errorResponse(400, "bad_request"));
    if (!authenticate(*body, respond)) return;
    auto links = store_.liveLinks();
    if (!links) return respond(errorResponse(500, kStorageError));
    boost::json::array sessions;
    for (const auto& link : links.value()) sessions.push_back(linkJson(link));
    respond(jsonResponse(200, {{"sessions", std::move(sessions)}}));
}

void Relay::endLink(const HttpRequest& request, const std::string& linkId, Respond respond) {
    const auto body = json::parseObject(request.body);
    if (!body) return respond(errorResponse(400, "bad_request"));
    const auto device = authenticate(*body, respond);
    if (!device) return;
    auto ended = store_.endLink(linkId, nowMs());
    if (!ended) return respond(errorResponse(500, kStorageError));
    if (!ended.value()) return respond(errorResponse(404, "not_found"));
    log("link " + linkId + " ended by device " + std::to_string(device->id));
    endRoom(linkId, R"({"type":"session_ended"})");
    respond(jsonResponse(200, {}));
}

void Relay::listenerPage(const std::string& linkId, const std::string& ifNoneMatch, Respond respond) {
    auto link = store_.link(linkId);
    if (!link) return respond(errorResponse(500, kStorageError));
    respond(relay::listenerPage(link.value() && !link.value()->ended, ifNoneMatch));
}

boost::json::object Relay::linkJson(const LinkRecord& link) const {
    return {{"id", link.id},
            {"name", link.name},
            {"link", settings_.publicUrl + "/l/" + link.id},
            {"createdAt", link.createdAtMs},
            {"maxListeners", link.maxListeners},
            {"listeners", listenerCount(link.id)}};
}

// ---- WebSockets ------------------------------------------------------------------------

std::optional<WebSocketEndpoint> Relay::acceptWebSocket(const std::string& path, const std::string& remoteAddress) {
    const std::uint64_t number = nextConnection_++;
    if (path == "/ws/send") {
        log("send #" + std::to_string(number) + " opened from " + remoteAddress);
        auto session = std::make_shared<BroadcasterSession>(*this, number);
        session->start();
        return WebSocketEndpoint{session, 0};
    }
    if (path == "/ws/listen") {
        log("listen #" + std::to_string(number) + " opened from " + remoteAddress);
        auto session = std::make_shared<ListenerSession>(*this, number);
        session->start();
        return WebSocketEndpoint{session, settings_.listenerQueuePackets};
    }
    return std::nullopt;
}

std::size_t Relay::listenerCount(const std::string& linkId) const {
    const auto found = rooms_.find(linkId);
    return found == rooms_.end() ? 0 : found->second.listeners.size();
}

void Relay::hello(const std::shared_ptr<BroadcasterSession>& session, const std::string& key, const std::string& linkId) {
    const std::string who = "send #" + std::to_string(session->number());
    auto device = store_.deviceByKeyDigest(secrets::keyDigest(key));
    auto link = store_.link(linkId);
    if (!device || !link) {
        log(who + " refused: storage error");
        return session->endWith(errorMessage("storage"));
    }
    if (!device.value()) {
        log(who + " refused: unknown key");
        return session->endWith(errorMessage("auth"));
    }
    if (device.value()->revokedAtMs) {
        log(who + " refused: device " + std::to_string(device.value()->id) + " is revoked");
        return session->endWith(errorMessage("revoked"));
    }
    if (!link.value() || link.value()->ended) {
        log(who + " refused: no live link " + linkId);
        return session->endWith(errorMessage("session"));
    }
    const std::int64_t deviceId = device.value()->id;
    std::set<std::int64_t> others;
    for (const auto& [id, room] : rooms_)
        if (id != linkId && room.broadcaster && room.broadcaster->deviceId() != deviceId)
            others.insert(room.broadcaster->deviceId());
    if (static_cast<int>(others.size()) >= settings_.maxOnAir) {
        log(who + " refused: busy, " + std::to_string(others.size()) + " computers on air");
        boost::json::object busy{{"type", "error"}, {"error", "busy"}, {"max", settings_.maxOnAir}};
        return session->endWith(json::serialize(busy));
    }

    Room& room = rooms_[linkId];
    room.maxListeners = link.value()->maxListeners;
    if (room.broadcaster) {
        log("send #" + std::to_string(room.broadcaster->number()) + " replaced by " + who);
        auto previous = std::move(room.broadcaster);
        room.broadcaster.reset();
        previous->endWith(R"({"type":"replaced"})");
    }
    room.broadcaster = session;
    log(who + " on air: link " + linkId + ", device " + std::to_string(deviceId));
    session->welcome(linkId, deviceId, room.listeners.size());
    for (const auto& listener : room.listeners) listener->sendState(true);
}

void Relay::packet(BroadcasterSession& session, std::span<const std::uint8_t> bytes, bool& malformed) {
    const auto header = acceptedPacket(bytes);
    malformed = !header;
    if (malformed) return;
    const auto found = rooms_.find(session.linkId());
    if (found == rooms_.end() || found->second.broadcaster.get() != &session || found->second.listeners.empty())
        return;
    // Timestamps are on our clock (the broadcaster keeps it through pings). A backlog
    // that a stalled route lets through at once is stale: a gap is better than delay.
    if (clock_.wallMs() - header->timestampMs > static_cast<double>(settings_.maxPacketLag.count())) {
        for (const auto& listener : found->second.listeners) listener->dropLate();
        return;
    }
    const SharedBytes shared = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
    for (const auto& listener : found->second.listeners) listener->sendPacket(shared);
}

void Relay::broadcasterClosed(const BroadcasterSession& session) {
    const auto found = rooms_.find(session.linkId());
    if (found == rooms_.end() || found->second.broadcaster.get() != &session) return;
    found->second.broadcaster.reset();
    for (const auto& listener : found->second.listeners) listener->sendState(false);
    dropRoomIfEmpty(session.linkId());
}

void Relay::listen(const std::shared_ptr<ListenerSession>& session, const std::string& linkId,
                   const std::string& password) {
    const std::string who = "listen #" + std::to_string(session->number());
    auto link = store_.link(linkId);
    if (!link || !link.value() || link.value()->ended) {
        log(who + " refused: no live link " + linkId);
        return session->endWith(errorMessage("session"));
    }
    const std::string address = session->remoteAddress();
    const auto now = clock_.now();
    if (!listenAddressLimiter_.begin(address, now)) {
        log(who + " refused: too many wrong link passwords from " + address);
        return session->endWith(errorMessage("too_many_attempts"));
    }
    if (!listenLinkLimiter_.begin(linkId, now)) {
        listenAddressLimiter_.finish(address, true, now);  // not a guess after all
        log(who + " refused: too many wrong passwords for link " + linkId);
        return session->endWith(errorMessage("too_many_attempts"));
    }
    // The password first: whoever lacks it learns nothing of the link's state.
    const bool queued = hashWorker_.run<bool>(
        HashUse::listener,
        [stored = link.value()->passwordHash, password] { return secrets::verifyPassword(stored, password); },
        [this, weak = std::weak_ptr<ListenerSession>(session), linkId, address, who](bool matches) {
            listenAddressLimiter_.finish(address, matches, clock_.now());
            listenLinkLimiter_.finish(linkId, matches, clock_.now());
            const auto session = weak.lock();
            if (!session || session->closed()) return;
            if (!matches) {
                log(who + " refused: wrong password for link " + linkId);
                return session->endWith(errorMessage("password"));
            }
            // The link may have ended while the password was checked.
            auto link = store_.link(linkId);
            if (!link || !link.value() || link.value()->ended) return session->endWith(errorMessage("session"));
            Room& room = rooms_[linkId];
            room.maxListeners = link.value()->maxListeners;
            if (room.listeners.size() >= static_cast<std::size_t>(room.maxListeners)) {
                log(who + " refused: link " + linkId + " is full");
                session->endWith(errorMessage("full"));
                return dropRoomIfEmpty(linkId);
            }
            room.listeners.push_back(session);
            log(who + " listening to link " + linkId);
            session->ready(linkId, link.value()->name, room.broadcaster != nullptr);
            notifyListenerCount(room);
        });
    if (!queued) {
        listenAddressLimiter_.finish(address, true, now);
        listenLinkLimiter_.finish(linkId, true, now);
        log(who + " refused: too many password checks waiting");
        session->endWith(errorMessage("busy"));
    }
}

void Relay::listenerClosed(const ListenerSession& session) {
    for (auto& [linkId, room] : rooms_) {
        const auto found = std::find_if(room.listeners.begin(), room.listeners.end(),
                                        [&](const auto& listener) { return listener.get() == &session; });
        if (found == room.listeners.end()) continue;
        room.listeners.erase(found);
        notifyListenerCount(room);
        dropRoomIfEmpty(std::string(linkId));
        return;
    }
}

void Relay::notifyListenerCount(Room& room) {
    if (room.broadcaster) room.broadcaster->sendListenerCount(room.listeners.size());
}

void Relay::dropRoomIfEmpty(const std::string& linkId) {
    const auto found = rooms_.find(linkId);
    if (found != rooms_.end() && !found->second.broadcaster && found->second.listeners.empty()) rooms_.erase(found);
}

void Relay::endRoom(const std::string& linkId, const std::string& broadcasterMessage) {
    const auto found = rooms_.find(linkId);
    if (found == rooms_.end()) return;
    Room room = std::move(found->second);
    rooms_.erase(found);
    if (room.broadcaster) room.broadcaster->endWith(broadcasterMessage);
    for (const auto& listener : room.listeners) listener->endWith(R"({"type":"session_ended"})");
}

void Relay::pollStore() {
    auto version = store_.dataVersion();
    if (!version || version.value() == dataVersion_) return;
    dataVersion_ = version.value();
    std::vector<std::shared_ptr<BroadcasterSession>> revoked;
    for (const auto& [id, room] : rooms_) {
        if (!room.broadcaster) continue;
        auto device = store_.deviceById(room.broadcaster->deviceId());
        if (device && (!device.value() || device.value()->revokedAtMs)) revoked.push_back(room.broadcaster);
    }
    for (const auto& session : revoked) {
        log("send #" + std::to_string(session->number()) + " closed: device " + std::to_string(session->deviceId()) +
            " was revoked");
        const std::string linkId = session->linkId();
        rooms_[linkId].broadcaster.reset();
        session->endWith(errorMessage("revoked"));
        for (const auto& listener : rooms_[linkId].listeners) listener->sendState(false);
        dropRoomIfEmpty(linkId);
    }
}

void Relay::closeAll() {
    auto rooms = std::move(rooms_);
    rooms_.clear();
    for (auto& [id, room] : rooms) {
        if (room.broadcaster) room.broadcaster->endWith(R"({"type":"error","error":"shutdown"})");
        for (const auto& listener : room.listeners) listener->endWith(R"({"type":"error","error":"shutdown"})");
    }
}

}  // namespace quorvel::relay
