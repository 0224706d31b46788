#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "relay/clock.h"
#include "relay/deadlines.h"
#include "relay/log.h"
#include "relay/relay.h"
#include "relay/store.h"
#include "relay/web_server.h"
#include "runtime/expected.h"
#include "runtime/serial_queue.h"

namespace quorvel::relay {

struct RelayServerOptions {
    WebServerOptions web;
    std::filesystem::path dataDir;
    // Base of the links handed out; empty: http(s)://<listen address>:<port>.
    std::string publicUrl;
    RelaySettings settings;
    // The clock of every time rule; null: the steady clock. Must outlive the server.
    const Clock* clock = nullptr;
    LogSink log;  // null: standard error; rate-limited by a RelayLog
    // How often deadlines are checked and the database is looked at for revocations.
    std::chrono::milliseconds sweepInterval{100};
    std::chrono::milliseconds storePollInterval{1000};
};

// One studio's relay: the database, the web server and the relay logic on one
// io_context. create() opens the database and binds the port; run() serves on the
// calling thread until stop(), which any thread may call.
class RelayServer {
public:
    static Expected<std::unique_ptr<RelayServer>, std::string> create(RelayServerOptions options);
    ~RelayServer();

    std::uint16_t port() const { return port_; }
    const std::string& publicUrl() const { return publicUrl_; }
    void run();
    void stop();
    // The queue run() serves.
    Executor& queue() { return queue_; }

private:
    RelayServer() = default;
    void scheduleSweep();

    RelayServerOptions options_;
    SteadyClock steadyClock_;
    const Clock* clock_ = nullptr;
    boost::asio::io_context context_;
    AsioExecutor queue_{context_};
    std::unique_ptr<RelayLog> log_;
    std::unique_ptr<Store> store_;
    Deadlines deadlines_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<WebServer> web_;
    std::unique_ptr<boost::asio::steady_timer> sweepTimer_;
    std::chrono::steady_clock::time_point nextPoll_{};
    std::uint16_t port_ = 0;
    std::string publicUrl_;
    std::atomic<bool> stopping_{false};
};

}  // namespace quorvel::relay
