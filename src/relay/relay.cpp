#include "relay/relay.h"

#include <boost/json/array.hpp>

#include <algorithm>
#include <cmath>

#include "audio/packet_format.h"
#include "json/json.h"
#include "relay/client_address.h"
#include "relay/listener_page.h"
#include "relay/outgoing_messages.h"
#include "text/link_fields.h"

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
             RelaySettings settings, RelayLog& log)
    : context_(context),
      store_(store),
      deadlines_(deadlines),
      clock_(clock),
      settings_(std::move(settings)),
      log_(log),
      pairLimiter_(settings_.pairLimits),
      listenAddressLimiter_(settings_.listenAddressLimits),
      listenLinkLimiter_(settings_.listenLinkLimits),
      resumeTokens_(settings_.resumeWindow),
      hashWorker_(context, settings_.maxPendingHashes) {}

// ---- HTTP ------------------------------------------------------------------------------

void Relay::handleRequest(HttpRequest request, Respond respond) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    // The API answers POST; pages and upgrade paths GET and HEAD (which the transport
    // answers as GET without the body); OPTIONS tells which.
    const auto serve = [&](bool api, auto&& handle) {
        const std::string allowed = api ? "POST, OPTIONS" : "GET, HEAD, OPTIONS";
        if (request.method == "OPTIONS") return respond(HttpResponse{204, "", "", {{"Allow", allowed}}});
        const bool fits = api ? request.method == "POST" : request.method == "GET" || request.method == "HEAD";
        if (!fits) return respond(methodNotAllowed(allowed));
        handle();
    };
    if (path == "/api/pair") return serve(true, [&] { pair(request, std::move(respond)); });
    if (path == "/api/device/sessions") return serve(true, [&] { createLink(request, std::move(respond)); });
    if (path == "/api/device/sessions/list") return serve(true, [&] { listLinks(request, std::move(respond)); });
    if (path.starts_with(kSessionsPrefix) && path.ends_with(kEndSuffix) &&
        path.size() > kSessionsPrefix.size() + kEndSuffix.size()) {
        const std::string id = path.substr(kSessionsPrefix.size(), path.size() - kSessionsPrefix.size() - kEndSuffix.size());
        if (id.find('/') == std::string::npos)
            return serve(true, [&] { endLink(request, id, std::move(respond)); });
    }
    if (path.starts_with(kPagePrefix) && path.size() > kPagePrefix.size() &&
        path.find('/', kPagePrefix.size()) == std::string::npos) {
        return serve(false, [&] {
            listenerPage(path.substr(kPagePrefix.size()), request.ifNoneMatch, std::move(respond));
        });
    }
    if (path.starts_with(kPageFilesPrefix)) {
        return serve(false, [&] {
            respond(relay::listenerFile(std::string_view(path).substr(kPageFilesPrefix.size()), request.ifNoneMatch));
        });
    }
    if (path == "/ws/send" || path == "/ws/listen")
        return serve(false, [&] { respond(errorResponse(426, "upgrade_required")); });
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
    const std::string limitedAs = limitKey(address);
    if (pairLimiter_.begin(limitedAs, clock_.now()) == GuessLimiter::Attempt::refused) {
        securityLog("pair refused: too many attempts from " + address);
        return respond(errorResponse(429, "too_many_attempts"));
    }
    std::string cleanName = firstCharacters(trimmed(printable(*name)), 80);
    if (cleanName.empty()) cleanName = "Computer";
    const bool queued = hashWorker_.run<bool>(
        hash_lane::pairing,
        [stored = std::move(*hash.value()), password = *password] { return secrets::verifyPassword(stored, password); },
        [this, address, limitedAs, cleanName, respond](bool matches) {
            pairLimiter_.finish(limitedAs, matches, clock_.now());
            if (!matches) {
                securityLog("pair refused: wrong studio password from " + address);
                return respond(errorResponse(401, "password"));
            }
            const std::string key = secrets::randomToken(32);
            auto device = store_.addDevice(cleanName, secrets::keyDigest(key), nowMs());
            if (!device) return respond(errorResponse(500, kStorageError));
            securityLog("paired device " + std::to_string(device->id) + " from " + address);
            respond(jsonResponse(200, {{"key", key}, {"name", device->name}}));
        });
    if (!queued) {
        pairLimiter_.finish(limitedAs, true, clock_.now());
        securityLog("pair refused: too many password checks waiting, from " + address);
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

    // The rules the application checks before it asks.
    const auto rawName = json::string(json::member(*body, "name"));
    const auto name = rawName ? text::link_fields::name(*rawName) : std::nullopt;
    if (!name) return respond(errorResponse(400, "name"));
    const auto password = json::string(json::member(*body, "password"));
    if (!password || !text::link_fields::passwordFits(*password)) return respond(errorResponse(400, "password"));
    const auto max = json::integral(json::member(*body, "maxListeners"));
    if (!max || *max < 1 || *max > 5) return respond(errorResponse(400, "max"));

    LinkRecord link;
    link.id = secrets::randomToken(16);
    link.name = printable(*name);
    link.maxListeners = *max;
    link.createdAtMs = nowMs();
    link.deviceId = device->id;
    const auto cost = settings_.passwordCost;
    const bool queued = hashWorker_.run<std::optional<std::string>>(
        hash_lane::devices, [password = *password, cost] { return secrets::hashPassword(password, cost); },
        [this, link, respond](std::optional<std::string> hash) mutable {
            if (!hash) return respond(errorResponse(503, "busy"));
            link.passwordHash = std::move(*hash);
            if (!store_.addLink(link)) return respond(errorResponse(500, kStorageError));
            log("link " + link.id + " created by device " + std::to_string(link.deviceId));
            respond(jsonResponse(200, {{"session", linkJson(link)}}));
        });
    if (!queued) {
        securityLog("link creation by device " + std::to_string(link.deviceId) + " refused: too many password checks waiting");
        respond(errorResponse(503, "busy"));
    }
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
    endRoom(linkId, outgoing::sessionEnded());
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
        return session->endWith(outgoing::error("storage"));
    }
    if (!device.value()) {
        securityLog(who + " refused: unknown key");
        return session->endWith(outgoing::error("auth"));
    }
    if (device.value()->revokedAtMs) {
        securityLog(who + " refused: device " + std::to_string(device.value()->id) + " is revoked");
        return session->endWith(outgoing::error("revoked"));
    }
    if (!link.value() || link.value()->ended) {
        log(who + " refused: no live link " + linkId);
        return session->endWith(outgoing::error("session"));
    }
    const std::int64_t deviceId = device.value()->id;
    std::set<std::int64_t> others;
    for (const auto& [id, room] : rooms_)
        if (id != linkId && room.broadcaster && room.broadcaster->deviceId() != deviceId)
            others.insert(room.broadcaster->deviceId());
    if (static_cast<int>(others.size()) >= settings_.maxOnAir) {
        securityLog(who + " refused: busy, " + std::to_string(others.size()) + " computers on air");
        return session->endWith(outgoing::busy(settings_.maxOnAir));
    }

    Room& room = rooms_[linkId];
    room.maxListeners = link.value()->maxListeners;
    if (room.broadcaster) {
        log("send #" + std::to_string(room.broadcaster->number()) + " replaced by " + who);
        auto previous = std::move(room.broadcaster);
        room.broadcaster.reset();
        previous->endWith(outgoing::replaced());
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
    if (found->second.forms) found->second.forms->push(shared, *header);
}

void Relay::broadcasterClosed(const BroadcasterSession& session) {
    const auto found = rooms_.find(session.linkId());
    if (found == rooms_.end() || found->second.broadcaster.get() != &session) return;
    found->second.broadcaster.reset();
    for (const auto& listener : found->second.listeners) listener->sendState(false);
    dropRoomIfEmpty(session.linkId());
}

void Relay::listen(const std::shared_ptr<ListenerSession>& session, const std::string& linkId,
                   const std::string& password, const std::string& resume) {
    const std::string who = "listen #" + std::to_string(session->number());
    auto link = store_.link(linkId);
    if (!link || !link.value() || link.value()->ended) {
        log(who + " refused: no live link " + linkId);
        return session->endWith(outgoing::error("session"));
    }
    if (!resume.empty() && resumeTokens_.redeem(resume, linkId, clock_.now())) {
        log(who + " resumes");
        return join(session, linkId, *link.value());
    }
    const std::string address = session->remoteAddress();
    const std::string limitedAs = limitKey(address);
    const auto now = clock_.now();
    // Whoever fails to guess a link's password shuts it only for addresses with failures.
    const bool clean = listenAddressLimiter_.clean(limitedAs, now);
    if (listenAddressLimiter_.begin(limitedAs, now) == GuessLimiter::Attempt::refused) {
        securityLog(who + " refused: too many wrong link passwords from " + address);
        return session->endWith(outgoing::error("too_many_attempts"));
    }
    const auto attempt = listenLinkLimiter_.begin(linkId, now, clean);
    if (attempt == GuessLimiter::Attempt::refused) {
        listenAddressLimiter_.finish(limitedAs, true, now);  // not a guess after all
        securityLog(who + " refused: too many wrong passwords for link " + linkId + ", from " + address);
        // Someone without failures may get in a little later: the page asks again.
        return session->endWith(outgoing::error(clean ? "busy" : "too_many_attempts"));
    }
    // The password first: whoever lacks it learns nothing of the link's state.
    const bool queued = hashWorker_.run<bool>(
        hash_lane::link(linkId),
        [stored = link.value()->passwordHash, password] { return secrets::verifyPassword(stored, password); },
        [this, weak = std::weak_ptr<ListenerSession>(session), linkId, address, limitedAs, who, attempt](bool matches) {
            listenAddressLimiter_.finish(limitedAs, matches, clock_.now());
            listenLinkLimiter_.finish(linkId, matches, clock_.now(), attempt);
            const auto session = weak.lock();
            if (!session || session->closed()) return;
            if (!matches) {
                securityLog(who + " refused: wrong password for link " + linkId + " from " + address);
                return session->endWith(outgoing::error("password"));
            }
            // The link may have ended while the password was checked.
            auto link = store_.link(linkId);
            if (!link || !link.value() || link.value()->ended) return session->endWith(outgoing::error("session"));
            join(session, linkId, *link.value());
        });
    if (!queued) {
        listenAddressLimiter_.finish(limitedAs, true, now);
        listenLinkLimiter_.finish(linkId, true, now, attempt);
        securityLog(who + " refused: too many password checks waiting for link " + linkId + ", from " + address);
        session->endWith(outgoing::error("busy"));
    }
}

void Relay::join(const std::shared_ptr<ListenerSession>& session, const std::string& linkId, const LinkRecord& link) {
    const std::string who = "listen #" + std::to_string(session->number());
    Room& room = rooms_[linkId];
    room.maxListeners = link.maxListeners;
    if (room.listeners.size() >= static_cast<std::size_t>(room.maxListeners)) {
        log(who + " refused: link " + linkId + " is full");
        session->endWith(outgoing::error("full"));
        return dropRoomIfEmpty(linkId);
    }
    room.listeners.push_back(session);
    log(who + " listening to link " + linkId + (session->form().codec == packet_format::Codec::pcm
                                                     ? std::string()
                                                     : " as " + formName(session->form())));
    session->ready(linkId, link.name, room.broadcaster != nullptr, resumeTokens_.issue(linkId, clock_.now()));
    if (!room.forms) room.forms = std::make_shared<LinkForms>(context_, encoderThreads_);
    room.forms->take(session, session->form());
    notifyListenerCount(room);
}

void Relay::listenerClosed(const ListenerSession& session) {
    for (auto& [linkId, room] : rooms_) {
        const auto found = std::find_if(room.listeners.begin(), room.listeners.end(),
                                        [&](const auto& listener) { return listener.get() == &session; });
        if (found == room.listeners.end()) continue;
        room.listeners.erase(found);
        if (room.forms) room.forms->leave(session);
        notifyListenerCount(room);
        dropRoomIfEmpty(std::string(linkId));
        return;
    }
}

void Relay::changeForm(const std::shared_ptr<ListenerSession>& session, const StreamForm& form) {
    for (auto& [linkId, room] : rooms_) {
        if (std::find(room.listeners.begin(), room.listeners.end(), session) == room.listeners.end()) continue;
        log("listen #" + std::to_string(session->number()) + " takes " + formName(form));
        if (room.forms) room.forms->take(session, form);
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
    for (const auto& listener : room.listeners) listener->endWith(outgoing::sessionEnded());
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
        securityLog("send #" + std::to_string(session->number()) + " closed: device " + std::to_string(session->deviceId()) +
            " was revoked");
        const std::string linkId = session->linkId();
        rooms_[linkId].broadcaster.reset();
        session->endWith(outgoing::error("revoked"));
        for (const auto& listener : rooms_[linkId].listeners) listener->sendState(false);
        dropRoomIfEmpty(linkId);
    }
}

void Relay::closeAll() {
    auto rooms = std::move(rooms_);
    rooms_.clear();
    for (auto& [id, room] : rooms) {
        if (room.broadcaster) room.broadcaster->endWith(outgoing::error("shutdown"));
        for (const auto& listener : room.listeners) listener->endWith(outgoing::error("shutdown"));
    }
}

}  // namespace quorvel::relay
