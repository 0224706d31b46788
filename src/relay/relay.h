#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/json/object.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "relay/clock.h"
#include "relay/deadlines.h"
#include "relay/encoder_threads.h"
#include "relay/hash_worker.h"
#include "relay/link_forms.h"
#include "relay/log.h"
#include "relay/guess_limiter.h"
#include "relay/resume_tokens.h"
#include "relay/secrets.h"
#include "relay/sessions.h"
#include "relay/store.h"
#include "relay/web_server.h"

namespace quorvel::relay {

struct RelaySettings {
    std::string publicUrl;  // base of the links handed out, without a trailing "/"
    int maxOnAir = 3;       // computers of the studio on air at once
    secrets::Cost passwordCost = secrets::Cost::interactive;
    GuessLimiter::Limits pairLimits;
    // Wrong link passwords: per client address, and per link from everywhere.
    GuessLimiter::Limits listenAddressLimits;
    // Per link: 30 per 15 minutes, then one every 30 s for an address without failures.
    GuessLimiter::Limits listenLinkLimits{30, std::chrono::minutes(15), std::chrono::minutes(15), 10000,
                                          std::chrono::seconds(30)};
    // A listener that got in may come back within this time without a password check.
    std::chrono::seconds resumeWindow{10 * 60};
    std::chrono::seconds helloTimeout{10};
    std::chrono::seconds idleTimeout{30};
    std::size_t listenerQueuePackets = 50;  // one second of 20 ms packets
    // Packets further behind our clock than this are not forwarded.
    std::chrono::milliseconds maxPacketLag{1000};
    // Listeners are pinged this often and let go after this long without a word.
    std::chrono::seconds listenerPing{2};
    std::chrono::seconds listenerSilence{6};
    std::size_t maxPendingHashes = 32;
};

// The relay's logic for one studio: the REST API, the listener page, and the links
// that are live now (their broadcaster and listeners). Everything runs on the
// server's thread; only password hashing runs on the HashWorker.
class Relay final : public WebHandler {
public:
    Relay(boost::asio::io_context& context, Store& store, Deadlines& deadlines, const Clock& clock,
          RelaySettings settings, RelayLog& log);

    void handleRequest(HttpRequest request, Respond respond) override;
    std::optional<WebSocketEndpoint> acceptWebSocket(const std::string& path, const std::string& remoteAddress) override;

    // Picks up changes other processes made to the database (a revoked computer).
    void pollStore();
    // Ends every connection: server shutdown.
    void closeAll();

    // From the sessions.
    void hello(const std::shared_ptr<BroadcasterSession>& session, const std::string& key, const std::string& linkId);
    void packet(BroadcasterSession& session, std::span<const std::uint8_t> bytes, bool& malformed);
    void broadcasterClosed(const BroadcasterSession& session);
    // `resume`: the token of an earlier "ready" (may be empty); valid, it stands for the password.
    void listen(const std::shared_ptr<ListenerSession>& session, const std::string& linkId, const std::string& password,
                const std::string& resume);
    void listenerClosed(const ListenerSession& session);
    // A listener's connection is gone: its resume token counts down from now.
    void releaseResumeToken(const std::string& token) { resumeTokens_.release(token, clock_.now()); }
    void changeForm(const std::shared_ptr<ListenerSession>& session, const StreamForm& form);

    // Set once the port is known, before the server runs.
    void setPublicUrl(std::string url) { settings_.publicUrl = std::move(url); }

    const Clock& clock() const { return clock_; }
    const RelaySettings& settings() const { return settings_; }
    Deadlines& deadlines() { return deadlines_; }
    void log(const std::string& line) const { log_.event(line); }
    // Pairing, revocation, lock-outs and refusals at a limit: never lost in a flood.
    void securityLog(const std::string& line) const { log_.security(line); }

private:
    // A link with someone connected to it.
    struct Room {
        std::int64_t maxListeners = 1;
        std::shared_ptr<BroadcasterSession> broadcaster;
        std::vector<std::shared_ptr<ListenerSession>> listeners;
        std::shared_ptr<LinkForms> forms;  // made with the first listener
    };

    void pair(const HttpRequest& request, Respond respond);
    void createLink(const HttpRequest& request, Respond respond);
    void listLinks(const HttpRequest& request, Respond respond);
    void endLink(const HttpRequest& request, const std::string& linkId, Respond respond);
    // A listener whose password (or resume token) was right.
    void join(const std::shared_ptr<ListenerSession>& session, const std::string& linkId, const LinkRecord& link);
    void listenerPage(const std::string& linkId, const std::string& ifNoneMatch, Respond respond);

    // The device behind the request's "key", or the response to send instead.
    std::optional<Device> authenticate(const boost::json::object& body, Respond& respond);
    boost::json::object linkJson(const LinkRecord& link) const;
    std::size_t listenerCount(const std::string& linkId) const;
    void notifyListenerCount(Room& room);
    void dropRoomIfEmpty(const std::string& linkId);
    void endRoom(const std::string& linkId, const std::string& broadcasterMessage);

    boost::asio::io_context& context_;
    Store& store_;
    Deadlines& deadlines_;
    const Clock& clock_;
    RelaySettings settings_;
    RelayLog& log_;
    GuessLimiter pairLimiter_;
    GuessLimiter listenAddressLimiter_;
    GuessLimiter listenLinkLimiter_;
    ResumeTokens resumeTokens_;
    // Before the rooms: their encoders' last tasks may still run as they go.
    EncoderThreads encoderThreads_;
    std::map<std::string, Room> rooms_;
    std::uint64_t nextConnection_ = 1;
    std::optional<std::int64_t> dataVersion_;
    HashWorker hashWorker_;  // last: joined first, while the rest still exists
};

}  // namespace quorvel::relay
