// One relay process with 20 links, each fed by one broadcaster at 48 kHz stereo (50
// packets/s) and heard by 5 listeners, for 20 s on loopback. Reports packets delivered
// per second, the latency the relay adds (broadcaster send -> listener receive, both
// measured in this process), and the relay's CPU time and peak memory.
//
//   build/default/bench/relay_bench [seconds]      (QUORVEL_RELAY=path overrides the server binary)
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "audio/packet_format.h"
#include "json/json.h"
#include "audio/packet_pool.h"
#include "net/websocket_connection.h"
#include "relay/clock.h"
#include "relay_process.h"

namespace {

using namespace quorvel;
using namespace quorvel::bench;
using Clock = std::chrono::steady_clock;
constexpr int kLinks = 20;
constexpr int kListenersPerLink = 5;
constexpr auto kPacketInterval = std::chrono::milliseconds(20);

struct Link {
    std::string id;
    std::string key;
    std::shared_ptr<WebSocketConnection> broadcaster;
    bool welcomed = false;
    std::uint32_t nextSequence = 0;
    struct Sent {
        Clock::time_point at;
        bool measured;  // sent inside the measured window
    };
    std::vector<Sent> sent;  // by sequence
    std::unique_ptr<boost::asio::steady_timer> timer;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const auto dataDir = std::filesystem::temp_directory_path() / ("quorvel-relay-bench-" + std::to_string(getpid()));
    // First, so that it outlives every socket and timer below.
    boost::asio::io_context context;
    std::vector<Link> links(kLinks);
    {
        const auto made = bench::makeLinks(dataDir, kLinks, kListenersPerLink);
        if (!made) {
            std::fprintf(stderr, "%s\n", made.error().c_str());
            return 1;
        }
        for (int i = 0; i < kLinks; ++i) {
            links[i].id = made.value()[i].id;
            links[i].key = made.value()[i].key;
        }
    }

    const std::uint16_t port = bench::freePort();
    // Every client comes from 127.0.0.1: the cap per address must hold them all.
    const pid_t relayPid = bench::startRelay({"--data", dataDir.string(), "--listen", "127.0.0.1:" + std::to_string(port),
                                             "--max-on-air", std::to_string(kLinks), "--max-per-address",
                                             std::to_string(kLinks * (kListenersPerLink + 1))});
    if (relayPid == 0) {
        std::fprintf(stderr, "cannot start %s (set QUORVEL_RELAY)\n", bench::relayBinary().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const std::string url = "ws://127.0.0.1:" + std::to_string(port);
    std::vector<std::shared_ptr<WebSocketConnection>> listeners;
    std::vector<double> latencyMs;
    latencyMs.reserve(static_cast<std::size_t>(kLinks * kListenersPerLink * 50 * (seconds + 5)));
    std::uint64_t delivered = 0, ready = 0;
    bool measuring = false;
    std::uint64_t measuredSent = 0;

    for (int i = 0; i < kLinks; ++i) {
        for (int l = 0; l < kListenersPerLink; ++l) {
            auto socket = WebSocketConnection::open(context, url + "/ws/listen", {});
            socket->sendText(json::serialize(boost::json::object{{"type", "listen"}, {"session", links[i].id}, {"password", "listen"}}),
                             nullptr);
            receiveAll(socket, [&, i](const WebSocketConnection::Message& message) {
                const auto now = Clock::now();
                if (!message.binary) {
                    if (message.data.find("\"ready\"") != std::string::npos) ++ready;
                    return;
                }
                const auto header = packet_format::readHeader(
                    std::span(reinterpret_cast<const std::uint8_t*>(message.data.data()), message.data.size()));
                if (!header || header->sequence >= links[i].sent.size()) return;
                const auto& sent = links[i].sent[header->sequence];
                if (!sent.measured) return;
                ++delivered;
                latencyMs.push_back(std::chrono::duration<double, std::milli>(now - sent.at).count());
            });
            listeners.push_back(socket);
        }
        // The relay checks a bounded number of passwords at once: join link by link.
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (ready < static_cast<std::uint64_t>((i + 1) * kListenersPerLink) && Clock::now() < until)
            context.run_one_for(std::chrono::milliseconds(50));
    }
    if (ready < kLinks * kListenersPerLink) {
        std::fprintf(stderr, "only %llu listeners joined\n", static_cast<unsigned long long>(ready));
        kill(relayPid, SIGTERM);
        return 1;
    }

    // One 48 kHz stereo packet, re-stamped for each send.
    std::vector<std::uint8_t> packet(packet_format::packetBytes(2, 960));
    std::mt19937 random(7);
    for (std::size_t i = packet_format::kHeaderBytes; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(random());
    // Buffers as the sender has them; far more than can be in flight on loopback.
    const auto pool = PacketPool::create(packet.size(), kLinks * 64);
    const auto start = Clock::now() + std::chrono::milliseconds(200);
    for (int i = 0; i < kLinks; ++i) {
        Link& link = links[i];
        link.broadcaster = WebSocketConnection::open(context, url + "/ws/send", {});
        link.broadcaster->sendText(
            json::serialize(boost::json::object{{"type", "hello"}, {"key", link.key}, {"session", link.id}}), nullptr);
        receiveAll(link.broadcaster, [&link](const WebSocketConnection::Message& message) {
            if (!message.binary && message.data.find("welcome") != std::string::npos) link.welcomed = true;
        });
        link.timer = std::make_unique<boost::asio::steady_timer>(context);
        // Broadcasters are not in step with each other: spread them over the 20 ms.
        auto tick = std::make_shared<std::function<void(Clock::time_point)>>();
        *tick = [&, &link = link, tick](Clock::time_point due) {
            Packet pooled = link.welcomed ? pool->acquire(packet.size()) : Packet();
            if (pooled) {
                // Stamped now on the wall clock, as the relay's: it forwards only live packets.
                packet_format::writeHeader(packet.data(), {2, 48000, link.nextSequence, relay::wallClockMs()});
                std::copy(packet.begin(), packet.end(), pooled.mutableBytes().begin());
                link.sent.push_back({Clock::now(), measuring});
                ++link.nextSequence;
                if (measuring) ++measuredSent;
                link.broadcaster->sendBinary(std::move(pooled), nullptr);
            }
            link.timer->expires_at(due + kPacketInterval);
            link.timer->async_wait([tick, next = due + kPacketInterval](boost::system::error_code error) {
                if (!error) (*tick)(next);
            });
        };
        const auto first = start + std::chrono::microseconds(1000 * i);
        link.timer->expires_at(first);
        link.timer->async_wait([tick, first](boost::system::error_code error) {
            if (!error) (*tick)(first);
        });
    }

    // Two seconds to settle, then the measured window.
    context.run_for(std::chrono::seconds(2));
    measuring = true;
    const double cpuBefore = cpuSeconds(relayPid);
    const auto windowStart = Clock::now();
    context.run_for(std::chrono::seconds(seconds));
    measuring = false;
    const double cpuUsed = cpuSeconds(relayPid) - cpuBefore;
    const double window = std::chrono::duration<double>(Clock::now() - windowStart).count();
    // Packets sent in the window may still be on their way: count them in, send nothing new.
    for (auto& link : links) link.timer->cancel();
    context.run_for(std::chrono::milliseconds(500));
    const long peak = peakKiB(relayPid);

    kill(relayPid, SIGTERM);
    waitpid(relayPid, nullptr, 0);
    std::filesystem::remove_all(dataDir);

    const std::uint64_t expected = measuredSent * kListenersPerLink;
    std::printf("relay_bench: %d links x (1 broadcaster at 50 packets/s + %d listeners), %.1f s on loopback\n", kLinks,
                kListenersPerLink, window);
    std::printf("  packets sent            %llu (%.0f/s)\n", static_cast<unsigned long long>(measuredSent), measuredSent / window);
    std::printf("  packets delivered       %llu (%.0f/s), expected %llu, lost %lld\n",
                static_cast<unsigned long long>(delivered), delivered / window, static_cast<unsigned long long>(expected),
                static_cast<long long>(expected) - static_cast<long long>(delivered));
    std::printf("  added latency           p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(latencyMs, 0.5),
                percentile(latencyMs, 0.99), latencyMs.empty() ? 0.0 : *std::max_element(latencyMs.begin(), latencyMs.end()));
    std::printf("  relay CPU               %.1f%% of one core\n", 100.0 * cpuUsed / window);
    std::printf("  relay peak memory       %.1f MiB (VmHWM)\n", peak / 1024.0);
    return 0;
}
