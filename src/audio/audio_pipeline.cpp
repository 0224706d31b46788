#include "audio/audio_pipeline.h"

#include <algorithm>
#include <cmath>

namespace quorvel {

AudioPipeline::AudioPipeline(std::shared_ptr<PacketSink> sender, Executor& mainQueue)
    : sender_(std::move(sender)), mainQueue_(mainQueue), reports_(std::make_shared<Reports>()) {
    reports_->owner = this;
    wakeup_ = mainQueue_.makeWakeup([reports = reports_] { reports->deliver(); });
}

AudioPipeline::~AudioPipeline() {
    // Reports still in the ring are delivered later, with the callbacks set now.
    reports_->owner = nullptr;
    reports_->lastLevel = onLevel;
    reports_->lastProblem = onProblem;
    wakeup_.reset();
    mainQueue_.post([reports = reports_] { reports->deliver(); });
}

std::string AudioPipeline::unsupportedRateText(std::int64_t rate) {
    return "Частота " + std::to_string(rate / 1000) + " кГц не поддерживается — нужна 44,1 / 48 / 88,2 / 96 кГц";
}

void AudioPipeline::Reports::deliver() {
    Report report;
    while (ring.pop(report)) {
        // Read the callbacks at delivery time, as the owner may have changed them.
        const OnLevel& level = owner ? owner->onLevel : lastLevel;
        const OnProblem& problem = owner ? owner->onProblem : lastProblem;
        switch (report.kind) {
            case Report::Kind::level:
                if (level) level(report.left, report.right, report.rate);
                break;
            case Report::Kind::problem:
                if (problem) problem(unsupportedRateText(report.rate));
                break;
            case Report::Kind::clear:
                if (problem) problem(std::nullopt);
                break;
        }
    }
}

// Audio thread: no allocation, no lock, no blocking call.
void AudioPipeline::report(const Report& report) {
    if (!reports_->ring.push(report)) reports_->lost.fetch_add(1, std::memory_order_relaxed);
    wakeup_->trigger();
}

// Audio thread: no allocation (but for a new packetizer on a rate change), no lock,
// no blocking call.
void AudioPipeline::process(AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format) {
    if (!std::isfinite(format.sampleRate) || std::fabs(format.sampleRate) > 4.0e18) return;
    const std::int64_t rate = std::llround(format.sampleRate);

    if (std::find(supportedRates.begin(), supportedRates.end(), rate) == supportedRates.end()) {
        const std::int64_t kilohertz = rate / 1000;
        if (problemReported_ && reportedKilohertz_ == kilohertz) return;
        problemReported_ = true;
        reportedKilohertz_ = kilohertz;
        report({Report::Kind::problem, 0, 0, rate});
        return;
    }

    if (!packetizer_ || packetizer_->sampleRate() != rate) {
        packetizer_ = std::make_unique<Packetizer>(rate, std::min(format.channels, 2));
        packetizer_->serverNowMs = [sender = sender_.get()] { return sender->serverNowMs(); };
        packetizer_->onPacket = [this, rate](Packet packet, float left, float right) {
            sender_->send(std::move(packet));
            report({Report::Kind::level, left, right, rate});
        };
        if (problemReported_) {
            problemReported_ = false;
            reportedKilohertz_.reset();
            report({Report::Kind::clear, 0, 0, 0});
        }
    }

    if (frames <= 0) return;
    if (format.interleaved) {
        if (buffers.empty() || buffers[0].data == nullptr) return;
        packetizer_->push(static_cast<const float*>(buffers[0].data), frames, std::max(format.channels, 1));
        return;
    }
    const std::size_t used = std::min<std::size_t>(buffers.size(), 2);
    if (used == 0) return;
    std::array<const float*, 2> planar{};
    for (std::size_t i = 0; i < used; ++i) {
        if (buffers[i].data == nullptr) return;
        planar[i] = static_cast<const float*>(buffers[i].data);
    }
    packetizer_->push(std::span<const float* const>(planar.data(), used), frames);
}

}  // namespace quorvel
