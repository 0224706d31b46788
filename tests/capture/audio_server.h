#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <thread>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/audio_source.h"
#include "capture/capture_error.h"
#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"
#include "support/allocation_counter.h"

namespace quorvel {
// Failures print as the text the user would see.
inline void PrintTo(const CaptureError& error, std::ostream* out) {
    *out << error.description();
}
}  // namespace quorvel

// The private audio server that scripts/audio-server.sh starts for the tests.
namespace quorvel::test {

// Why the private server cannot be used, or nothing when it can: PipeWire must answer
// and know the test devices (so a user's own audio server is never used by mistake).
inline std::optional<std::string> privateAudioServerMissing() {
    if (!std::getenv("QUORVEL_AUDIO_SERVER_DIR")) return "the private PipeWire server is not running (use scripts/with-test-services.sh)";
    int error = 0;
    auto loop = PipeWireLoop::connect("quorvel.probe", error);
    if (!loop) return "PipeWire does not answer (" + std::to_string(error) + ")";
    PipeWireLoop::Lock lock(*loop);
    PipeWireGraph graph(*loop);
    if (!graph.settle()) return "PipeWire does not answer in time (" + std::to_string(loop->error()) + ")";
    if (!graph.nodeByName("quorvel-test-stereo")) return "PipeWire without the test devices";
    return std::nullopt;
}

// Holds the private server for one test: tests run in parallel processes (ctest -j),
// and players or a forced graph rate of one would leak into another's capture.
class ServerLock {
public:
    ServerLock() {
        missing_ = privateAudioServerMissing();
        if (missing_) return;
        const std::string path = std::string(std::getenv("QUORVEL_AUDIO_SERVER_DIR")) + "/tests.lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~ServerLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    ServerLock(const ServerLock&) = delete;
    ServerLock& operator=(const ServerLock&) = delete;
    const std::optional<std::string>& missing() const { return missing_; }

private:
    std::optional<std::string> missing_;
    int fd_ = -1;
};

// Skips the test without the private server, else holds it until the test ends.
#define QUORVEL_REQUIRE_AUDIO_SERVER()                        \
    const ::quorvel::test::ServerLock quorvelServerLock;      \
    if (quorvelServerLock.missing()) GTEST_SKIP() << *quorvelServerLock.missing()

// Sets an environment variable for the life of the guard.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (previous_) ::setenv(name_.c_str(), previous_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Allocations on the source's own thread between its 20th and 120th block, all of its
// work included (the receiver here allocates nothing); -1 when the blocks did not come.
// `start` starts the source and tells whether it started.
inline long steadyStateAllocations(AudioSource& source, const std::function<bool()>& start) {
    std::optional<AllocationCounter> counter;  // lives on the source's thread
    std::atomic<int> calls{0};
    std::atomic<long> allocations{-1};
    source.onAudio = [&](AudioBufferList, std::int64_t, const CaptureFormat&) {
        const int call = ++calls;
        if (call == 20) counter.emplace();
        if (call == 120) {
            allocations = static_cast<long>(counter->count());
            counter.reset();
        }
    };
    if (!start()) return -1;
    for (int i = 0; i < 200 && allocations < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    source.stop();
    return allocations;
}

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
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    // Gone before the next test looks at the graph.
    for (int i = 0; i < 100 && ::kill(-pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

// The players a test started, stopped when it ends.
class Players {
public:
    ~Players() { stopAll(); }
    void start(const std::string& id, double value) { pids_.push_back(startPlayer(id, value)); }
    // The index-th started.
    void stop(std::size_t index) {
        killPlayer(pids_.at(index));
        pids_[index] = 0;
    }
    void stopAll() {
        for (const int pid : pids_) killPlayer(pid);
        pids_.clear();
    }

private:
    std::vector<int> pids_;
};

// Every sample is one of the mixes of the matching players' constants 0.25 and 0.125; a
// sample with the other players' 0.0625 or 0.03125 in it means they leaked into the capture.
inline void expectOnlyTheMatchingMix(const std::vector<float>& samples) {
    std::size_t mixed = 0;
    std::size_t foreign = 0;
    for (const float sample : samples) {
        if (sample == 0.375f) ++mixed;
        else if (sample != 0.0f && sample != 0.25f && sample != 0.125f) ++foreign;
    }
    EXPECT_EQ(foreign, 0u);
    EXPECT_GT(mixed, samples.size() / 2);
}

}  // namespace quorvel::test
