// Capture measurements against the private audio server (run under
// scripts/with-test-services.sh, or with the exports of scripts/audio-server.sh start):
//  1. the delay from PipeWire starting the graph cycle that hands us a block (and from
//     the block reaching our callback) to the packetizer emitting the packet that the
//     block completes, through the real AudioPipeline;
//  2. the CPU time of `quorvel meter` on a 96 kHz stereo source.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_pipeline.h"
#include "audio/packet_sink.h"
#include "capture/pipewire_capture_stream.h"
#include "capture/pipewire_loop.h"
#include "runtime/serial_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records when each packet leaves the pipeline, relative to the block being processed.
class TimingSink final : public quorvel::PacketSink {
public:
    void send(quorvel::Packet) override {
        const auto delay = Clock::now() - blockArrived;
        if (count < delays.size()) delays[count++] = std::chrono::duration<double, std::micro>(delay).count();
    }
    double serverNowMs() override { return quorvel::Packetizer::wallClockMs(); }

    Clock::time_point blockArrived;
    std::vector<double> delays = std::vector<double>(100000);
    std::size_t count = 0;
};

void printDelays(const char* what, std::vector<double> delays) {
    std::sort(delays.begin(), delays.end());
    if (delays.empty()) {
        std::printf("%s: no packets\n", what);
        return;
    }
    const auto at = [&](double q) { return delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))]; };
    std::printf("%s (%zu packets): median %.1f us, p99 %.1f us, max %.1f us\n", what, delays.size(), at(0.5), at(0.99),
                delays.back());
}

// Both delays for the packets of `duration` of capture from device `uid`.
void measureDelay(const std::string& uid, std::chrono::seconds duration) {
    quorvel::SerialQueue mainQueue("quorvel.main");
    auto fromCallback = std::make_shared<TimingSink>();
    auto fromCycle = std::make_shared<TimingSink>();
    quorvel::AudioPipeline callbackPipeline(fromCallback, mainQueue.executor());
    quorvel::AudioPipeline cyclePipeline(fromCycle, mainQueue.executor());

    int error = 0;
    auto loop = quorvel::PipeWireLoop::connect("quorvel.input", error);
    if (!loop) {
        std::printf("delay: no PipeWire (%d)\n", error);
        return;
    }
    std::unique_ptr<quorvel::PipeWireCaptureStream> stream;
    {
        quorvel::PipeWireLoop::Lock lock(*loop);
        quorvel::PipeWireCaptureStream::Request request;
        request.rate = 48000;
        request.positions = {"FL", "FR"};
        request.properties = {{"target.object", uid},
                              {"node.autoconnect", "true"},
                              {"node.dont-reconnect", "true"},
                              {"stream.dont-remix", "true"}};
        quorvel::PipeWireCaptureStream::Failure failure{};
        stream = quorvel::PipeWireCaptureStream::connect(*loop, request, error, failure);
        if (!stream) {
            std::printf("delay: cannot capture %s (%d)\n", uid.c_str(), error);
            return;
        }
        auto* capture = stream.get();
        stream->onBuffer = [&, capture](const quorvel::AudioBuffer& buffer) {
            const std::array<quorvel::AudioBuffer, 1> list{buffer};
            const auto frames = static_cast<std::int64_t>(buffer.dataByteSize / 8);
            const quorvel::CaptureFormat format{48000, 2, true};
            fromCycle->blockArrived = capture->cycleStart();
            cyclePipeline.process(list, frames, format);
            fromCallback->blockArrived = Clock::now();
            callbackPipeline.process(list, frames, format);
        };
    }
    std::this_thread::sleep_for(duration);
    {
        quorvel::PipeWireLoop::Lock lock(*loop);
        stream.reset();
    }
    printDelays(("graph cycle start -> packet, " + uid).c_str(),
                {fromCycle->delays.begin(), fromCycle->delays.begin() + static_cast<long>(fromCycle->count)});
    printDelays(("our callback -> packet, " + uid).c_str(),
                {fromCallback->delays.begin(), fromCallback->delays.begin() + static_cast<long>(fromCallback->count)});
}

void measureMeterCpu(const std::string& quorvel, const std::string& key, int seconds) {
    std::system("pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null");
    const auto started = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(quorvel.c_str(), quorvel.c_str(), "meter", "--source", key.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ::kill(child, SIGINT);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    std::system("pw-metadata -n settings 0 clock.force-rate 0 >/dev/null");
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("\nquorvel meter --source %s: %.3f s CPU in %.1f s (%.2f %% of one core; user %.3f s, system %.3f s)\n",
                key.c_str(), cpu, wall, 100.0 * cpu / wall,
                static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6,
                static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6);
}

}  // namespace

int main() {
    if (!std::getenv("QUORVEL_AUDIO_SERVER_DIR")) {
        std::printf("capture_bench needs the private audio server: run it under scripts/with-test-services.sh\n");
        return 0;
    }
    measureDelay("quorvel-test-stereo", std::chrono::seconds(5));
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    const auto quorvel = (self.parent_path().parent_path() / "src" / "quorvel").string();
    measureMeterCpu(quorvel, "input|1|quorvel-test-hires", 10);
    return 0;
}
