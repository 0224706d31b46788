#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include "relay/admin.h"
#include "relay/relay_server.h"
#include "runtime/secret_line.h"
#include "runtime/stop_signals.h"
#include "runtime/version.h"

namespace {

using namespace quorvel::relay;

// "host:port", "[v6]:port", ":port" or "unix:PATH".
std::optional<std::pair<std::string, std::uint16_t>> parseListen(const std::string& text) {
    if (text.starts_with("unix:")) {
        if (text.size() <= 5 || text[5] != '/') return std::nullopt;
        return std::make_pair(text, std::uint16_t{0});
    }
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
    try {
        const int port = std::stoi(text.substr(colon + 1));
        if (port < 0 || port > 65535) return std::nullopt;
        return std::make_pair(host, static_cast<std::uint16_t>(port));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int serve(const std::string& listen, const std::string& dataDir, const std::string& publicUrl,
          const std::string& cert, const std::string& key, int maxOnAir, std::size_t maxPerAddress,
          const std::string& trustedProxy) {
    const auto address = parseListen(listen);
    if (!address) {
        std::cerr << "quorvel-relay: --listen wants host:port, e.g. 127.0.0.1:8787, or unix:/absolute/path\n";
        return 2;
    }
    RelayServerOptions options;
    options.web.address = address->first;
    options.web.port = address->second;
    if (!cert.empty()) options.web.tlsCertificate = cert;
    if (!key.empty()) options.web.tlsKey = key;
    options.dataDir = dataDir;
    options.publicUrl = publicUrl;
    options.settings.maxOnAir = maxOnAir;
    options.web.maxConnectionsPerAddress = maxPerAddress;
    options.web.trustedProxy = trustedProxy;

    // A stop asked for while the server starts waits until it can be handled; the
    // threads the server starts inherit the mask and never take these signals.
    sigset_t stopSignalSet;
    sigemptyset(&stopSignalSet);
    sigaddset(&stopSignalSet, SIGINT);
    sigaddset(&stopSignalSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignalSet, nullptr);
    auto server = RelayServer::create(std::move(options));
    if (!server) {
        std::cerr << "quorvel-relay: " << server.error() << '\n';
        return 1;
    }
    RelayServer& relay = *server.value();
    const quorvel::StopSignals stopSignals(relay.queue(), [&relay] {
        sd_notify(0, "STOPPING=1");
        relay.stop();
    });
    pthread_sigmask(SIG_UNBLOCK, &stopSignalSet, nullptr);
    // The port is bound: under systemd (Type=notify) dependents may start now. Outside
    // it, NOTIFY_SOCKET is unset and this does nothing.
    sd_notify(0, "READY=1");
    relay.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"quorvel-relay: the relay server for one studio's broadcasts and their listeners."};
    app.set_version_flag("--version", "quorvel-relay " + std::string(quorvel::version()));
    app.require_subcommand(1);
    std::string dataDir = defaultDataDir().string();

    auto* serveCommand = app.add_subcommand("serve", "Run the relay server");
    std::string listen = "127.0.0.1:8787", publicUrl, cert, key, trustedProxy;
    int maxOnAir = 3;
    std::size_t maxPerAddress = 64;
    serveCommand->add_option("--listen", listen,
                             "Address and port to listen on, or unix:PATH: a Unix socket for a reverse proxy in the "
                             "relay's group (its clients are told by its X-Forwarded-For)")
        ->capture_default_str();
    serveCommand->add_option("--public-url", publicUrl, "Base of the links handed out (default: the listen address)");
    serveCommand->add_option("--tls-cert", cert, "PEM certificate chain: serve HTTPS and WSS")->check(CLI::ExistingFile);
    serveCommand->add_option("--tls-key", key, "PEM private key of the certificate")->check(CLI::ExistingFile);
    serveCommand->add_option("--max-on-air", maxOnAir, "Computers of the studio on air at once")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    serveCommand->add_option("--max-per-address", maxPerAddress, "Connections from one client address at once")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    serveCommand->add_option("--trusted-proxy", trustedProxy,
                             "Address of a reverse proxy in front: clients are told by its X-Forwarded-For");

    auto* passwordCommand = app.add_subcommand("set-password", "Set the studio password, read from standard input");
    auto* devicesCommand = app.add_subcommand("devices", "List the paired computers");
    auto* revokeCommand = app.add_subcommand("revoke", "Disconnect a paired computer now and for good");
    std::int64_t revokeId = 0;
    revokeCommand->add_option("ID", revokeId, "Device id, as `devices` shows it")->required();
    for (auto* command : {serveCommand, passwordCommand, devicesCommand, revokeCommand})
        command->add_option("--data", dataDir, "Data directory (database)")->capture_default_str();

    CLI11_PARSE(app, argc, argv);

    if (serveCommand->parsed()) {
        if (cert.empty() != key.empty()) {
            std::cerr << "quorvel-relay: --tls-cert and --tls-key go together\n";
            return 2;
        }
        return serve(listen, dataDir, publicUrl, cert, key, maxOnAir, maxPerAddress, trustedProxy);
    }
    if (passwordCommand->parsed()) {
        const auto password = quorvel::readSecretLine("Studio password: ");
        if (!password) {
            std::cerr << "quorvel-relay: no password on standard input\n";
            return 1;
        }
        const auto done = admin::setStudioPassword(dataDir, *password);
        if (!done) {
            std::cerr << "quorvel-relay: " << done.error() << '\n';
            return 1;
        }
        std::cerr << "Studio password set in " << dataDir << '\n';
        return 0;
    }
    if (devicesCommand->parsed()) {
        const auto devices = admin::listDevices(dataDir);
        if (!devices) {
            std::cerr << "quorvel-relay: " << devices.error() << '\n';
            return 1;
        }
        std::cout << admin::formatDevices(devices.value());
        return 0;
    }
    const auto revoked = admin::revokeDevice(dataDir, revokeId);
    if (!revoked) {
        std::cerr << "quorvel-relay: " << revoked.error() << '\n';
        return 1;
    }
    if (!revoked.value()) {
        std::cerr << "quorvel-relay: no device " << revokeId << '\n';
        return 1;
    }
    std::cout << "Device " << revokeId << " revoked; a running relay disconnects it within a second.\n";
    return 0;
}
