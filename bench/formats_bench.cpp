// The forms for thin lines side by side. In process, on generated music (chords of
// decaying partials, tests/support/music_signal.h): each form's bitrate on the wire,
// FLAC's ratio, and each encoder's CPU per link at 48 and 96 kHz. Through the real
// quorvel-relay on loopback: the delay each form adds from the studio's packet to the
// listener (arrival minus the timestamp of the first decoded frame, beside PCM's), the
// relay's CPU with and without a FLAC and an Opus listener on one link, and the
// fan-out latency of eight other PCM links meanwhile.
//
//   build/default/bench/formats_bench [seconds per phase, default 10]
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include <sys/wait.h>
#include <time.h>

#include <csignal>

#include <cstdio>
#include <map>
#include <random>
#include <thread>

#include "audio/packet_encoder.h"
#include "audio/packet_format.h"
#include "audio/packet_pool.h"
#include "json/json.h"
#include "relay/clock.h"
#include "relay_process.h"
#include "support/music_signal.h"

namespace {

using namespace quorvel;
using namespace quorvel::bench;
using packet_format::Codec;

constexpr int kOtherLinks = 8;
const StreamForm kForms[] = {{Codec::flac, 0}, {Codec::opus, 256}, {Codec::opus, 128}, {Codec::opus, 64}};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A WebSocket message's bytes on the wire: a 2-byte frame header, 2 more for 126 to
// 65535 bytes (the server sends unmasked).
double wireBytes(std::size_t message) {
    return static_cast<double>(message) + (message < 126 ? 2 : 4);
}

void encodeInProcess(std::uint32_t rate) {
    constexpr int kPackets = 1500;  // 30 s
    test::MusicSignal music(rate, 2, 7);
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::uint32_t seq = 0; seq < kPackets; ++seq)
        packets.push_back(test::pcmPacket(music.next(), 2, rate, seq, 20.0 * seq));
    const double seconds = kPackets / 50.0;
    const double pcmKbps = wireBytes(packets.front().size()) * 8 * 50 / 1000;
    std::printf("  %5.1f kHz  pcm        %7.0f kb/s\n", rate / 1000.0, pcmKbps);
    for (const auto& form : kForms) {
        auto encoder = PacketEncoder::create(form);
        double bytes = 0, payload = 0;
        const double start = threadCpuSeconds();
        for (const auto& packet : packets) {
            const auto header = packet_format::readHeader(packet);
            const auto encoded = encoder->encode(*header, std::span(packet).subspan(packet_format::kHeaderBytes));
            bytes += wireBytes(encoded.size());
            payload += static_cast<double>(encoded.size() - packet_format::kHeaderBytes);
        }
        const double cpu = threadCpuSeconds() - start;
        const double pcmPayload = static_cast<double>(packets.front().size() - packet_format::kHeaderBytes) * kPackets;
        std::printf("             %-10s %7.0f kb/s", formName(form).c_str(), bytes * 8 / seconds / 1000);
        if (form.codec == Codec::flac) std::printf(" (ratio %.3f)", payload / pcmPayload);
        else std::printf("              ");
        std::printf("   encoder CPU %.2f %% of a core\n", 100 * cpu / seconds);
    }
}

struct Phase {
    double relayCpuPercent = 0;
    double encoderCpuPercent = 0;  // of the encoder threads
    std::map<std::string, std::vector<double>> delayMs;  // by form, on link 0
    std::vector<double> othersMs;                          // the other links' PCM
};

// One relay: link 0 at `rate` with a PCM listener (and, in the second phase, a FLAC
// and an Opus 128 one), eight other links at 48 kHz with one PCM listener each.
std::pair<Phase, Phase> throughRelay(std::uint32_t rate, int seconds) {
    const auto dataDir = std::filesystem::temp_directory_path() / ("quorvel-formats-bench-" + std::to_string(getpid()));
    boost::asio::io_context context;
    auto links = makeLinks(dataDir, 1 + kOtherLinks, 5);
    if (!links) {
        std::fprintf(stderr, "%s\n", links.error().c_str());
        std::exit(1);
    }
    const std::uint16_t port = freePort();
    const pid_t relay = startRelay({"--data", dataDir.string(), "--listen", "127.0.0.1:" + std::to_string(port),
                                    "--max-on-air", std::to_string(1 + kOtherLinks), "--max-per-address", "64"});
    if (relay == 0) {
        std::fprintf(stderr, "cannot start %s (set QUORVEL_RELAY)\n", relayBinary().c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string url = "ws://127.0.0.1:" + std::to_string(port);

    Phase* phase = nullptr;
    std::vector<std::shared_ptr<WebSocketConnection>> sockets;
    int ready = 0;
    const auto listen = [&](std::size_t link, const StreamForm& form) {
        auto socket = WebSocketConnection::open(context, url + "/ws/listen", {});
        boost::json::object hello{{"type", "listen"}, {"session", links.value()[link].id}, {"password", "listen"},
                                  {"format", codecName(form.codec)}};
        if (form.kbps) hello["kbps"] = form.kbps;
        socket->sendText(json::serialize(hello), nullptr);
        receiveAll(socket, [&, link](const WebSocketConnection::Message& message) {
            const double now = relay::wallClockMs();
            if (!message.binary) {
                ready += message.data.find("\"ready\"") != std::string::npos;
                return;
            }
            const auto header = packet_format::readAnyHeader(
                std::span(reinterpret_cast<const std::uint8_t*>(message.data.data()), message.data.size()));
            if (!header || !phase) return;
            if (link != 0) phase->othersMs.push_back(now - header->timestampMs);
            else phase->delayMs[std::string(codecName(header->codec))].push_back(now - header->timestampMs);
        });
        sockets.push_back(socket);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        const int before = ready;
        while (ready == before && std::chrono::steady_clock::now() < until) context.run_one_for(std::chrono::milliseconds(50));
    };
    for (std::size_t link = 0; link <= kOtherLinks; ++link) listen(link, {});

    // Broadcasters: link 0 plays music at `rate`, the others noise at 48 kHz; each sends
    // a packet 20 ms after its first frame, like the studio.
    std::vector<std::unique_ptr<boost::asio::steady_timer>> timers;
    // Buffers as the sender has them; far more than can be in flight on loopback.
    const auto pool = PacketPool::create(packet_format::packetBytes(2, 1920), 64 * (1 + kOtherLinks));
    test::MusicSignal music(rate, 2, 3);
    std::mt19937 random(5);
    for (std::size_t link = 0; link <= kOtherLinks; ++link) {
        auto socket = WebSocketConnection::open(context, url + "/ws/send", {});
        socket->sendText(json::serialize(boost::json::object{
                             {"type", "hello"}, {"key", links.value()[link].key}, {"session", links.value()[link].id}}),
                         nullptr);
        receiveAll(socket, [](const WebSocketConnection::Message&) {});
        sockets.push_back(socket);
        timers.push_back(std::make_unique<boost::asio::steady_timer>(context));
        auto tick = std::make_shared<std::function<void(std::chrono::steady_clock::time_point, std::uint32_t)>>();
        *tick = [&, socket, link, tick, timer = timers.back().get()](std::chrono::steady_clock::time_point due,
                                                                   std::uint32_t seq) {
            std::vector<float> samples;
            if (link == 0) {
                samples = music.next();
            } else {
                samples.resize(2 * 960);
                for (auto& sample : samples) sample = static_cast<float>(random()) / 4.3e9f - 0.5f;
            }
            const std::uint32_t packetRate = link == 0 ? rate : 48000;
            const auto bytes = test::pcmPacket(samples, 2, packetRate, seq, relay::wallClockMs() - 20);
            Packet packet = pool->acquire(bytes.size());
            std::copy(bytes.begin(), bytes.end(), packet.mutableBytes().begin());
            socket->sendBinary(std::move(packet), nullptr);
            timer->expires_at(due + std::chrono::milliseconds(20));
            timer->async_wait([tick, next = due + std::chrono::milliseconds(20), seq](boost::system::error_code error) {
                if (!error) (*tick)(next, seq + 1);
            });
        };
        const auto first = std::chrono::steady_clock::now() + std::chrono::milliseconds(300 + 2 * link);
        timers.back()->expires_at(first);
        timers.back()->async_wait([tick, first](boost::system::error_code error) {
            if (!error) (*tick)(first, 0);
        });
    }

    const auto measure = [&](Phase& target) {
        context.run_for(std::chrono::seconds(2));
        phase = &target;
        const double cpuBefore = cpuSeconds(relay);
        const double encodersBefore = threadsCpuSeconds(relay, "quorvel.encode");
        const auto start = std::chrono::steady_clock::now();
        context.run_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        target.relayCpuPercent = 100 * (cpuSeconds(relay) - cpuBefore) / elapsed;
        target.encoderCpuPercent = 100 * (threadsCpuSeconds(relay, "quorvel.encode") - encodersBefore) / elapsed;
        phase = nullptr;
    };
    std::pair<Phase, Phase> phases;
    measure(phases.first);
    listen(0, {Codec::flac, 0});
    listen(0, {Codec::opus, 128});
    measure(phases.second);

    for (auto& timer : timers) timer->cancel();
    kill(relay, SIGTERM);
    waitpid(relay, nullptr, 0);
    std::filesystem::remove_all(dataDir);
    return phases;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::printf("formats_bench: generated music, stereo\n\nOn the wire (messages with WebSocket framing) and encoder CPU, in process:\n");
    for (const std::uint32_t rate : {48000u, 96000u}) encodeInProcess(rate);

    std::printf("\nThrough quorvel-relay, %d s per phase; link 0 at the rate, %d other links at 48 kHz:\n", seconds,
                kOtherLinks);
    for (const std::uint32_t rate : {48000u, 96000u}) {
        const auto [plain, encoding] = throughRelay(rate, seconds);
        const auto p50 = [](const std::vector<double>& values) { return percentile(values, 0.5); };
        const double pcmDelay = p50(encoding.delayMs.at("pcm"));
        std::printf("  %.1f kHz: relay CPU %.2f %% of a core with a PCM listener, %.2f %% with FLAC and Opus 128 added "
                    "(+%.2f %%; the encoder threads %.2f %%)\n",
                    rate / 1000.0, plain.relayCpuPercent, encoding.relayCpuPercent,
                    encoding.relayCpuPercent - plain.relayCpuPercent, encoding.encoderCpuPercent);
        for (const char* form : {"pcm", "flac", "opus"}) {
            const auto found = encoding.delayMs.find(form);
            if (found == encoding.delayMs.end()) continue;
            std::printf("    %-5s arrival - first decoded frame p50 %6.2f ms, p99 %6.2f ms: %+.2f ms over pcm (%zu packets)\n",
                        form, p50(found->second), percentile(found->second, 0.99), p50(found->second) - pcmDelay,
                        found->second.size());
        }
        std::printf("    other links' PCM latency p50/p99: %.2f / %.2f ms without encoders, %.2f / %.2f ms with\n",
                    p50(plain.othersMs), percentile(plain.othersMs, 0.99), p50(encoding.othersMs),
                    percentile(encoding.othersMs, 0.99));
    }
    return 0;
}
