// Capture measurements against the private audio server (run under
// scripts/with-test-services.sh, or with the exports of scripts/audio-server.sh start):
//  1. the delay from a capture block reaching us to the packetizer emitting the packet
//     that the block completes, through the real AudioPipeline;
//  2. the CPU time of `quorvel meter` on a 96 kHz stereo source.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "capture/input_device_capture.h"
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

void measureDelay(const std::string& uid, std::chrono::seconds duration) {
    quorvel::SerialQueue mainQueue("quorvel.main");
    auto sink = std::make_shared<TimingSink>();
    quorvel::AudioPipeline pipeline(sink, mainQueue.executor());
    quorvel::InputDeviceCapture capture(uid, 1);
    std::atomic<long> blocks{0};
    capture.onAudio = [&](quorvel::AudioBufferList buffers, std::int64_t frames, const quorvel::CaptureFormat& format) {
        sink->blockArrived = Clock::now();
        pipeline.process(buffers, frames, format);
        ++blocks;
    };
    std::optional<std::string> problem;
    capture.start([&](std::optional<std::string> text) { problem = text; });
    if (problem) {
        std::printf("delay: cannot capture %s: %s\n", uid.c_str(), problem->c_str());
        return;
    }
    std::this_thread::sleep_for(duration);
    capture.stop();
    std::vector<double> delays(sink->delays.begin(), sink->delays.begin() + static_cast<long>(sink->count));
    std::sort(delays.begin(), delays.end());
    if (delays.empty()) {
        std::printf("delay: no packets\n");
        return;
    }
    const auto at = [&](double q) { return delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))]; };
    std::printf("delay block -> packet (%s, %zu packets, %ld blocks): median %.1f us, p99 %.1f us, max %.1f us\n",
                uid.c_str(), delays.size(), blocks.load(), at(0.5), at(0.99), delays.back());
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
