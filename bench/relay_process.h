#pragma once

// The real quorvel-relay as a child process of a benchmark: its data, its start, its
// CPU time and memory, and receiving from it on loopback.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "net/websocket_connection.h"
#include "relay/secrets.h"
#include "relay/store.h"
#include "runtime/expected.h"

namespace quorvel::bench {

// $QUORVEL_RELAY, else the quorvel-relay of this build.
inline std::string relayBinary() {
    if (const char* path = std::getenv("QUORVEL_RELAY")) return path;
    char self[4096] = {};
    const auto length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::filesystem::path exe(std::string(self, length > 0 ? static_cast<std::size_t>(length) : 0));
    return (exe.parent_path().parent_path() / "src" / "quorvel-relay").string();
}

inline std::uint16_t freePort() {
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor acceptor(context, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

// Starts `quorvel-relay serve` with `args`, its log to $QUORVEL_RELAY_LOG or nowhere;
// 0 when it could not be started.
inline pid_t startRelay(const std::vector<std::string>& serveArgs) {
    std::vector<std::string> args{relayBinary(), "serve"};
    args.insert(args.end(), serveArgs.begin(), serveArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const char* logPath = std::getenv("QUORVEL_RELAY_LOG");
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath ? logPath : "/dev/null",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), ::environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started ? pid : 0;
}

struct BenchLink {
    std::string id;
    std::string key;  // of the device that owns it, one device per link
};

// A data directory with `count` links of listener password "listen", each of its own
// device; an error text when the database cannot be made.
inline Expected<std::vector<BenchLink>, std::string> makeLinks(const std::filesystem::path& dataDir, int count,
                                                               int maxListeners) {
    if (!relay::secrets::initialize()) return std::string("libsodium cannot be initialised");
    auto store = relay::Store::open(dataDir);
    if (!store) return store.error();
    store.value()->setStudioPasswordHash(*relay::secrets::hashPassword("bench", relay::secrets::Cost::minimum));
    const auto listenHash = *relay::secrets::hashPassword("listen", relay::secrets::Cost::minimum);
    std::vector<BenchLink> links(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto& link = links[static_cast<std::size_t>(i)];
        link.key = relay::secrets::randomToken(32);
        auto device = store.value()->addDevice("Bench " + std::to_string(i), relay::secrets::keyDigest(link.key), 0);
        relay::LinkRecord record;
        record.id = link.id = relay::secrets::randomToken(16);
        record.name = "Link " + std::to_string(i);
        record.passwordHash = listenHash;
        record.maxListeners = maxListeners;
        record.createdAtMs = 1;
        record.deviceId = device->id;
        store.value()->addLink(record);
    }
    return links;
}

// utime + stime in seconds of `pid`, or of its thread `thread`.
inline double cpuSeconds(pid_t pid, pid_t thread = 0) {
    std::ifstream stat("/proc/" + std::to_string(pid) + (thread ? "/task/" + std::to_string(thread) : "") + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) ticks += std::stod(field);
        if (index == 15) break;
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU time in seconds of the threads of `pid` called `name`.
inline double threadsCpuSeconds(pid_t pid, const std::string& name) {
    double seconds = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName == name) seconds += cpuSeconds(pid, std::stoi(task.path().filename().string()));
    }
    return seconds;
}

inline long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return 0;
}

inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    const auto index = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

// Hands every message to `onMessage` until the connection ends.
inline void receiveAll(const std::shared_ptr<WebSocketConnection>& connection,
                       std::function<void(const WebSocketConnection::Message&)> onMessage) {
    connection->receive([weak = std::weak_ptr(connection), onMessage = std::move(onMessage)](
                            boost::system::error_code error, WebSocketConnection::Message message) mutable {
        if (error) return;
        onMessage(message);
        if (const auto alive = weak.lock()) receiveAll(alive, std::move(onMessage));
    });
}

}  // namespace quorvel::bench
