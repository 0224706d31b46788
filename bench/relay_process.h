#pragma once

// The real quorvel-relay as a child process of a benchmark.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

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

}  // namespace quorvel::bench
