#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "audio/audio_pipeline.h"
#include "audio/packet_sink.h"
#include "capture/audio_source.h"
#include "capture/audio_sources.h"
#include "capture/source_choice.h"
#include "cli/commands.h"
#include "runtime/if_alive.h"
#include "runtime/serial_queue.h"
#include "runtime/stop_signals.h"

namespace quorvel::cli {

namespace {

// Takes the pipeline's packets and drops them; the wall clock stamps them.
class DiscardingSink final : public PacketSink {
public:
    void send(Packet) override {}
    double serverNowMs() override { return Packetizer::wallClockMs(); }
};

std::string dBFS(float peak) {
    if (!(peak > 0)) return "  -inf";
    char text[16];
    std::snprintf(text, sizeof text, "%6.1f", 20.0 * std::log10(peak));
    return text;
}

// Meters one source on the main queue until stopped; rebuilds it when it asks to.
class Meter {
public:
    Meter(SourceChoice choice, Executor& mainQueue) : choice_(std::move(choice)), mainQueue_(mainQueue) {}

    void start() {
        source_ = AudioSources::make(choice_);
        if (!source_) {
            report("ProTools Output is not available: neither a PipeWire nor a PulseAudio server answers");
            return;
        }
        pipeline_ = std::make_unique<AudioPipeline>(std::make_shared<DiscardingSink>(), mainQueue_);
        pipeline_->onLevel = [this](float left, float right, std::int64_t rate) { show(left, right, rate); };
        pipeline_->onProblem = [this](std::optional<std::string> problem) {
            if (problem) report("\u26A0\uFE0E " + *problem);
        };
        AudioPipeline* pipeline = pipeline_.get();
        source_->onAudio = [pipeline](AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format) {
            pipeline->process(buffers, frames, format);
        };
        // The source's thread: hop to the main queue, where the source is replaced.
        source_->onRestartNeeded = [&queue = mainQueue_, restart = ifAlive(alive_, [this] {
                                        report("Restarting the capture");
                                        stop();
                                        start();
                                    })] { queue.post(restart); };
        source_->start([this](std::optional<std::string> problem) {
            if (problem) report("\u26A0\uFE0E " + *problem);
        });
    }

    void stop() {
        if (source_) source_->stop();
        source_.reset();
        pipeline_.reset();
    }

    ~Meter() { stop(); }

private:
    void show(float left, float right, std::int64_t rate) {
        peakLeft_ = std::max(peakLeft_, left);
        peakRight_ = std::max(peakRight_, right);
        if (++packets_ % 10 != 0) return;  // five lines a second
        std::cout << "\rL " << dBFS(peakLeft_) << " dBFS   R " << dBFS(peakRight_) << " dBFS   " << rate << " Hz   "
                  << std::flush;
        peakLeft_ = peakRight_ = 0;
    }
    void report(const std::string& text) { std::cout << "\n" << text << std::endl; }

    SourceChoice choice_;
    Executor& mainQueue_;
    std::shared_ptr<AudioSource> source_;
    std::unique_ptr<AudioPipeline> pipeline_;
    std::shared_ptr<int> alive_ = std::make_shared<int>();
    float peakLeft_ = 0;
    float peakRight_ = 0;
    std::int64_t packets_ = 0;
};

int runMeter(const std::string& key) {
    const auto choice = SourceChoice::fromKey(key);
    if (!choice) {
        std::cerr << "Not a source key: " << key << " (see \"quorvel sources\")\n";
        return 2;
    }
    boost::asio::io_context context;
    AsioExecutor mainQueue(context);
    Meter meter(*choice, mainQueue);
    const StopSignals stopSignals(mainQueue, [&] {
        meter.stop();
        context.stop();
    });
    std::cout << "Metering " << key << " — Ctrl-C to stop" << std::endl;
    meter.start();
    context.run();
    std::cout << std::endl;
    return 0;
}

}  // namespace

Command addMeterCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("meter", "Show a source's live peak levels and sample rate until Ctrl-C");
    auto key = std::make_shared<std::string>();
    command->add_option("--source", *key, "Source key, as \"quorvel sources\" lists them")->required();
    return {command, [key] { return runMeter(*key); }};
}

}  // namespace quorvel::cli
