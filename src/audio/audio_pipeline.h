#pragma once

#include <boost/lockfree/spsc_queue.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/packet_sink.h"
#include "audio/packetizer.h"
#include "capture/capture_format.h"
#include "runtime/executor.h"

namespace quorvel {

// Sits between a capture source and the sender: checks each block's sample rate,
// keeps one packetizer for the current rate, sends every packet, and reports levels
// and problems to the main queue.
//
// process() runs on the capture's audio thread; everything else on the main queue,
// where the pipeline is also created and destroyed. Reports cross from the audio
// thread through a lock-free ring and a Wakeup, so process() allocates nothing in
// steady state.
class AudioPipeline {
public:
    static constexpr std::array<std::int64_t, 4> supportedRates = {44100, 48000, 88200, 96000};

    using OnLevel = std::function<void(float left, float right, std::int64_t sampleRate)>;
    using OnProblem = std::function<void(std::optional<std::string> problem)>;

    AudioPipeline(std::shared_ptr<PacketSink> sender, Executor& mainQueue);
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    // Audio thread: one captured block.
    void process(AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format);

    // Main queue: read when each report is delivered.
    OnLevel onLevel;
    OnProblem onProblem;

    // The text shown for a sample rate outside supportedRates.
    static std::string unsupportedRateText(std::int64_t rate);

private:
    struct Report {
        enum class Kind : std::uint8_t { level, problem, clear } kind;
        float left = 0;
        float right = 0;
        std::int64_t rate = 0;
    };
    // Shared with main-queue tasks so that reports made before destruction still arrive.
    struct Reports {
        boost::lockfree::spsc_queue<Report, boost::lockfree::capacity<512>> ring;
        std::atomic<std::uint64_t> lost{0};
        AudioPipeline* owner = nullptr;  // main queue only; null once destroyed
        OnLevel lastLevel;
        OnProblem lastProblem;
        void deliver();
    };

    void report(const Report& report);

    std::shared_ptr<PacketSink> sender_;
    Executor& mainQueue_;
    std::shared_ptr<Reports> reports_;
    std::unique_ptr<Wakeup> wakeup_;
    std::unique_ptr<Packetizer> packetizer_;
    std::optional<std::int64_t> reportedKilohertz_;  // the problem last reported, by its number
    bool problemReported_ = false;
};

}  // namespace quorvel
