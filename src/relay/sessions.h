#pragma once

#include <boost/json/object.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "audio/stream_form.h"
#include "relay/deadlines.h"
#include "relay/web_server.h"

namespace quorvel::relay {

class Relay;

// One broadcaster's /ws/send connection: waits for "hello", then answers pings and
// passes its packets to the relay. Lives on the server's thread.
class BroadcasterSession final : public WebSocketHandler, public std::enable_shared_from_this<BroadcasterSession> {
public:
    BroadcasterSession(Relay& relay, std::uint64_t number) : relay_(relay), number_(number) {}
    // Starts the hello deadline: from the upgrade request on, not from the open.
    void start();

    void onOpen(std::shared_ptr<WebSocketPeer> peer) override;
    void onText(std::string_view text) override;
    void onBinary(std::span<const std::uint8_t> bytes) override;
    void onClosed() override;

    // Accepted by the relay for `linkId`, as computer `deviceId`.
    void welcome(const std::string& linkId, std::int64_t deviceId, std::size_t listeners);
    // Sends `message` (a JSON text) and closes; nothing more is sent or handled.
    void endWith(const std::string& message);
    void sendListenerCount(std::size_t count);

    std::uint64_t number() const { return number_; }
    std::int64_t deviceId() const { return deviceId_; }
    const std::string& linkId() const { return linkId_; }
    const std::string& remoteAddress() const;

private:
    enum class Stage { awaitingHello, checking, onAir, ended };
    void refreshIdle();
    void expire();

    Relay& relay_;
    std::uint64_t number_;
    std::shared_ptr<WebSocketPeer> peer_;
    std::shared_ptr<Deadline> deadline_;
    Stage stage_ = Stage::awaitingHello;
    std::string linkId_;
    std::int64_t deviceId_ = 0;
    std::uint64_t packets_ = 0;
    std::uint64_t malformed_ = 0;
};

// One listener's /ws/listen connection: waits for "listen", then receives the
// link's packets through a bounded queue. Once listening it is pinged every 2 s and
// let go (close 1001) after 6 s without a word from it, its place freed at once.
class ListenerSession final : public WebSocketHandler, public std::enable_shared_from_this<ListenerSession> {
public:
    ListenerSession(Relay& relay, std::uint64_t number) : relay_(relay), number_(number) {}
    // Starts the deadline for the "listen" message.
    void start();

    void onOpen(std::shared_ptr<WebSocketPeer> peer) override;
    void onText(std::string_view text) override;
    void onBinary(std::span<const std::uint8_t> bytes) override;
    void onPong() override;
    void onClosed() override;

    // Joined; `resumeToken` lets it come back without a password check.
    void ready(const std::string& linkId, const std::string& linkName, bool onAir, std::string resumeToken);
    void endWith(const std::string& message);
    void sendState(bool onAir);
    // A "format" message (see relay/link_forms.h), then the packets of that form.
    void sendFormat(const std::string& message);
    void sendPacket(const SharedBytes& packet);
    // A packet of its link too late to be worth sending.
    void dropLate() { ++late_; }

    bool closed() const { return stage_ == Stage::ended; }
    std::uint64_t number() const { return number_; }
    const std::string& remoteAddress() const;
    // The form it asked for in its "listen" message.
    const StreamForm& form() const { return form_; }

private:
    enum class Stage { awaitingListen, checking, listening, ended };
    void changeForm(const boost::json::object& message);
    void expire();
    void heard();
    void keepAlive();

    Relay& relay_;
    std::uint64_t number_;
    std::shared_ptr<WebSocketPeer> peer_;
    std::shared_ptr<Deadline> deadline_;
    Stage stage_ = Stage::awaitingListen;
    std::string linkId_;
    std::string resumeToken_;
    StreamForm form_;
    Clock::TimePoint heardAt_{};
    // Format changes within the last kFormChangeWindow; a page changes far less often.
    static constexpr std::size_t kFormChangesPerWindow = 5;
    static constexpr std::chrono::seconds kFormChangeWindow{10};
    std::deque<Clock::TimePoint> formChanges_;
    std::uint64_t dropped_ = 0;
    std::uint64_t late_ = 0;
};

// {"type":"error","error":code}

}  // namespace quorvel::relay
