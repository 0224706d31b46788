#include "relay/relay_server.h"

#include <boost/asio/post.hpp>

namespace quorvel::relay {

namespace {

std::string defaultPublicUrl(const WebServerOptions& web, std::uint16_t port, bool tls) {
    const bool ipv6 = web.address.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + web.address + "]" : web.address;
    return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(port);
}

}  // namespace

Expected<std::unique_ptr<RelayServer>, std::string> RelayServer::create(RelayServerOptions options) {
    if (!secrets::initialize()) return std::string("libsodium cannot be initialised");
    std::unique_ptr<RelayServer> server(new RelayServer());
    server->options_ = std::move(options);
    server->clock_ = server->options_.clock ? server->options_.clock : &server->steadyClock_;
    server->log_ = std::make_unique<RelayLog>(server->options_.log ? server->options_.log : standardErrorLog(),
                                              *server->clock_);
    server->options_.web.refusals = [log = server->log_.get()](std::string_view line) { log->security(line); };

    auto store = Store::open(server->options_.dataDir);
    if (!store) return store.error();
    server->store_ = std::move(store.value());

    server->relay_ = std::make_unique<Relay>(server->context_, *server->store_, server->deadlines_, *server->clock_,
                                             server->options_.settings, *server->log_);
    auto web = WebServer::start(server->context_, server->options_.web, *server->relay_, server->deadlines_,
                                *server->clock_);
    if (!web) return web.error();
    server->web_ = std::move(web.value());
    server->port_ = server->web_->port();

    std::string url = server->options_.publicUrl;
    while (!url.empty() && url.back() == '/') url.pop_back();
    const std::string& address = server->options_.web.address;
    const bool onSocketFile = address.starts_with("unix:");
    if (onSocketFile && url.empty()) return std::string("--public-url is needed when listening on a Unix socket");
    server->publicUrl_ = url.empty() ? defaultPublicUrl(server->options_.web, server->port_, server->web_->tls()) : url;
    server->relay_->setPublicUrl(server->publicUrl_);
    server->log_->event("listening on " + address + (onSocketFile ? "" : ":" + std::to_string(server->port_)) +
                        (server->web_->tls() ? " (TLS)" : "") + ", links at " + server->publicUrl_ + "/l/…");
    return server;
}

RelayServer::~RelayServer() {
    // Sessions hold the relay by reference: drop them (and their handlers) first.
    if (web_) web_->shutdown();
    context_.stop();
    web_.reset();
    sweepTimer_.reset();
    context_.restart();
    context_.poll();
}

void RelayServer::run() {
    sweepTimer_ = std::make_unique<boost::asio::steady_timer>(context_);
    scheduleSweep();
    context_.run();
}

void RelayServer::stop() {
    if (stopping_.exchange(true)) return;
    boost::asio::post(context_, [this] {
        relay_->closeAll();
        if (sweepTimer_) sweepTimer_->cancel();
        // Let the close frames go out, then cut off whatever is left.
        auto timer = std::make_shared<boost::asio::steady_timer>(context_, std::chrono::milliseconds(200));
        timer->async_wait([this, timer](boost::system::error_code) {
            web_->shutdown();
            context_.stop();
        });
    });
}

void RelayServer::scheduleSweep() {
    sweepTimer_->expires_after(options_.sweepInterval);
    sweepTimer_->async_wait([this](boost::system::error_code error) {
        if (error || stopping_) return;
        deadlines_.sweep(clock_->now());
        log_->flush();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextPoll_) {
            nextPoll_ = now + options_.storePollInterval;
            relay_->pollStore();
        }
        scheduleSweep();
    });
}

}  // namespace quorvel::relay
