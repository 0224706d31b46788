#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/audio_source.h"
#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

// The private audio server that scripts/audio-server.sh starts for the tests.
namespace quorvel::test {

// Whether the private server is up: PipeWire answers and knows the test devices (so a
// user's own audio server is never used by mistake).
inline bool privateAudioServer() {
    if (!std::getenv("QUORVEL_AUDIO_SERVER_DIR")) return false;
    int error = 0;
    auto loop = PipeWireLoop::connect("quorvel.probe", error);
    if (!loop) return false;
    PipeWireLoop::Lock lock(*loop);
    PipeWireGraph graph(*loop);
    return graph.settle() && graph.nodeByName("quorvel-test-stereo").has_value();
}

#define QUORVEL_REQUIRE_AUDIO_SERVER()                                                                   \
    do {                                                                                                 \
        if (!::quorvel::test::privateAudioServer())                                                      \
            GTEST_SKIP() << "the private PipeWire server is not running (use scripts/with-test-services.sh)"; \
    } while (false)

// Runs a shell command with the private server's environment; its exit status.
inline int shell(const std::string& command) {
    return std::system(command.c_str());
}

// Starts a player (another process) that plays constant stereo `value` under the
// application identity `id`; stopped with the server or by killPlayer.
inline int startPlayer(const std::string& id, double value) {
    const std::string command = "\"$QUORVEL_AUDIO_SERVER_SCRIPT\" player \"$QUORVEL_AUDIO_SERVER_DIR\" '" + id +
                                "' " + std::to_string(value);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return 0;
    int pid = 0;
    if (std::fscanf(pipe, "%d", &pid) != 1) pid = 0;
    ::pclose(pipe);
    return pid;
}

inline void killPlayer(int pid) {
    if (pid > 0) shell("kill -TERM -- -" + std::to_string(pid) + " 2>/dev/null");
}

// The test devices' counter signal: sample n of channel c.
inline float counterSample(std::int64_t n, int channel) {
    return static_cast<float>((channel + 1) / 16.0 + static_cast<double>(n % 4096) / 65536.0);
}

// The phase n mod 4096 of a sample of channel `channel`, if it is exactly a sample of the
// counter signal.
inline std::optional<int> counterPhase(float sample, int channel) {
    const double phase = (static_cast<double>(sample) - (channel + 1) / 16.0) * 65536.0;
    if (!(phase >= 0 && phase < 4096) || phase != std::floor(phase)) return std::nullopt;
    const int n = static_cast<int>(phase);
    if (counterSample(n, channel) != sample) return std::nullopt;
    return n;
}

// Collects what a source delivers, on the source's thread.
class Collector {
public:
    void attach(AudioSource& source) {
        source.onAudio = [this](AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format) {
            add(buffers, frames, format);
        };
        source.onRestartNeeded = [this] {
            std::lock_guard lock(mutex_);
            ++restarts_;
            changed_.notify_all();
        };
    }

    void add(AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format) {
        std::lock_guard lock(mutex_);
        format_ = format;
        if (!threadName_) {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            threadName_ = name;
        }
        if (buffers.empty() || !buffers[0].data || !format.interleaved) return;
        const auto* data = static_cast<const float*>(buffers[0].data);
        samples_.insert(samples_.end(), data, data + frames * format.channels);
        changed_.notify_all();
    }

    // Waits until `frames` frames have come; false on timeout.
    bool waitForFrames(std::size_t frames, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return format_ && samples_.size() >= frames * static_cast<std::size_t>(format_->channels);
        });
    }
    bool waitForRestart(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return restarts_ > 0; });
    }

    std::vector<float> samples() {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        samples_.clear();
    }
    std::optional<CaptureFormat> format() {
        std::lock_guard lock(mutex_);
        return format_;
    }
    int restarts() {
        std::lock_guard lock(mutex_);
        return restarts_;
    }
    std::string threadName() {
        std::lock_guard lock(mutex_);
        return threadName_.value_or("");
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> samples_;
    std::optional<CaptureFormat> format_;
    std::optional<std::string> threadName_;
    int restarts_ = 0;
};

}  // namespace quorvel::test
