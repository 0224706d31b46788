// The sender end to end on loopback: a paced "audio thread" feeds a 96 kHz stereo
// packetizer whose packets go through Sender::send to a local WebSocket peer.
//
// Measures, over 3,000 packets (60 s of audio at real-time pace):
//  - latency from the packetizer emitting a packet to the peer having received it;
//  - the cost of send() itself on the audio thread;
//  - CPU time per second of audio of the sender's network thread and of the audio
//    thread (packetizing included); the peer's own thread is not counted.
//
// Usage: sender_bench [packets] [speed] [wss]
//   speed 2 feeds twice as fast as real time; "wss" measures over TLS with a test CA.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "audio/packet_format.h"
#include "audio/packetizer.h"
#include "net/sender.h"
#include "runtime/serial_queue.h"
#include "support/test_certificates.h"
#include "support/websocket_peer.h"

namespace {

using namespace quorvel;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kRate = 96000;
constexpr std::int64_t kBlockFrames = 480;  // 5 ms blocks, as a capture callback delivers them

bool hasThread(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        if (line == name) return true;
    }
    return false;
}

// On-CPU time of every thread of this process named `name`, in seconds.
double threadCpuSeconds(const std::string& name) {
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        if (line != name) continue;
        std::ifstream schedstat(task.path() / "schedstat");
        double nanoseconds = 0;
        schedstat >> nanoseconds;
        total += nanoseconds / 1e9;
    }
    return total;
}

double threadCpuSecondsOfCaller() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const int packets = argc > 1 ? std::atoi(argv[1]) : 3000;
    const double speed = argc > 2 ? std::atof(argv[2]) : 1.0;
    const bool secure = argc > 3 && std::string(argv[3]) == "wss";

    test::TestCertificates certificates;
    test::WebSocketPeer::Options peerOptions;
    peerOptions.keepBinaryBytes = packet_format::kHeaderBytes;
    SenderOptions senderOptions;
    if (secure) {
        if (!certificates.ok) {
            std::fprintf(stderr, "could not make test certificates with openssl\n");
            return 1;
        }
        peerOptions.certFile = certificates.serverCert;
        peerOptions.keyFile = certificates.serverKey;
        senderOptions.webSocket.extraCaFile = certificates.caFile;
    }
    test::WebSocketPeer peer(peerOptions);
    peer.answerHello(R"({"type":"welcome"})");
    peer.answerPings(0.0);

    SerialQueue main("bench.main");
    Config config;
    config.serverURL = peer.url();
    auto sender = Sender::create(config, "bench-key", "bench-session", main.executor(), senderOptions);
    std::atomic<bool> connected{false};
    sender->onState = [&](Sender::State state) { connected = state.kind == Sender::State::Kind::connected; };
    sender->start();
    for (int i = 0; i < 500 && !connected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!connected) {
        std::fprintf(stderr, "the sender did not connect to %s\n", peer.url().c_str());
        return 1;
    }

    std::vector<Clock::time_point> emitted(static_cast<std::size_t>(packets));
    std::vector<double> sendCallNs;
    sendCallNs.reserve(static_cast<std::size_t>(packets));
    double audioCpu = 0;
    const double netCpuBefore = threadCpuSeconds("quorvel.net");

    std::thread audio([&] {
        setCurrentThreadName("bench.audio");
        Packetizer packetizer(kRate, 2);
        packetizer.serverNowMs = [&] { return sender->serverNowMs(); };
        packetizer.onPacket = [&](Packet packet, float, float) {
            const auto header = packet_format::readHeader(packet.bytes());
            const auto now = Clock::now();
            if (header && header->sequence < emitted.size()) emitted[header->sequence] = now;
            sender->send(std::move(packet));
            sendCallNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - now).count());
        };
        std::vector<float> block(static_cast<std::size_t>(2 * kBlockFrames));
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = 0.5f * std::sin(static_cast<float>(i) * 0.01f);

        const double cpuBefore = threadCpuSecondsOfCaller();
        const auto blockPeriod = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(kBlockFrames) / kRate / speed));
        const std::int64_t blocks = static_cast<std::int64_t>(packets) * (kRate / 50) / kBlockFrames;
        auto next = Clock::now();
        for (std::int64_t b = 0; b < blocks; ++b) {
            packetizer.push(block.data(), kBlockFrames, 2);
            next += blockPeriod;
            std::this_thread::sleep_until(next);
        }
        audioCpu = threadCpuSecondsOfCaller() - cpuBefore;
    });
    audio.join();

    peer.waitFor([&](const test::WebSocketPeer::Record& r) { return r.binaryCount() >= packets; },
                 std::chrono::seconds(10));
    const double netCpu = threadCpuSeconds("quorvel.net") - netCpuBefore;

    std::vector<double> latencyMs;
    for (const auto& message : peer.record().messages) {
        if (!message.binary) continue;
        // Only the header was kept: the sequence number is bytes 8..11, little-endian.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data.data());
        const std::uint32_t sequence = std::uint32_t{bytes[8]} | std::uint32_t{bytes[9]} << 8 |
                                       std::uint32_t{bytes[10]} << 16 | std::uint32_t{bytes[11]} << 24;
        if (sequence >= emitted.size()) continue;
        latencyMs.push_back(std::chrono::duration<double, std::milli>(message.at - emitted[sequence]).count());
    }
    const double audioSeconds = static_cast<double>(packets) * 0.020;
    const double wallSeconds = audioSeconds / speed;

    std::printf("%s loopback, %d packets of 96 kHz stereo at %.1fx real time\n", secure ? "wss" : "ws", packets, speed);
    std::printf("packets sent %d, received %zu, dropped %lld\n", packets, latencyMs.size(),
                static_cast<long long>(sender->dropped()));
    std::printf("latency emit -> peer received: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(latencyMs, 0.50),
                percentile(latencyMs, 0.99), percentile(latencyMs, 1.0));
    std::printf("send() on the audio thread: p50 %.0f ns, p99 %.0f ns, max %.0f ns\n", percentile(sendCallNs, 0.50),
                percentile(sendCallNs, 0.99), percentile(sendCallNs, 1.0));
    std::printf("CPU per second of audio: network thread %.3f ms (%.3f%% of a core), audio thread %.3f ms (%.3f%%)\n",
                1000 * netCpu / audioSeconds, 100 * netCpu / wallSeconds, 1000 * audioCpu / audioSeconds,
                100 * audioCpu / wallSeconds);

    sender->stop();
    sender.reset();
    // The close handshake may hold the sender a moment longer; its thread goes with it.
    for (int i = 0; i < 500 && hasThread("quorvel.net"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}
