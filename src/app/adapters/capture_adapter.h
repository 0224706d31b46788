#pragma once

#include "app/capture_port.h"
#include "runtime/executor.h"

namespace quorvel::app {

// Hands a source's start completion to the main queue, so that it always arrives
// after start() has returned, as the application expects. The capture sources may
// call it synchronously inside start(). Everything else passes straight through.
class MainQueueSource final : public AudioSource {
public:
    MainQueueSource(std::shared_ptr<AudioSource> inner, Executor& mainQueue)
        : inner_(std::move(inner)), mainQueue_(mainQueue) {}
    void start(Completion completion) override;
    void stop() override { inner_->stop(); }

private:
    std::shared_ptr<AudioSource> inner_;
    Executor& mainQueue_;
};

// The machine's capture: AudioSources and InputDevices.
class SystemCapture final : public CapturePort {
public:
    explicit SystemCapture(Executor& mainQueue) : mainQueue_(mainQueue) {}
    std::shared_ptr<AudioSource> make(const SourceChoice& choice) override;
    bool directAvailable() override;
    std::vector<InputDeviceEntry> inputDevices() override;

private:
    Executor& mainQueue_;
};

}  // namespace quorvel::app
