#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "app/capture_port.h"
#include "capture/audio_sources.h"
#include "capture/input_devices.h"
#include "runtime/executor.h"
#include "runtime/serial_queue.h"

namespace quorvel::app {

// A capture source whose start() and stop() run on a queue of their own, since the
// real sources block there (connecting to the audio server, settling its graph), and
// whose start completion is handed to the main queue, so that it always arrives after
// start() has returned. The inner source is made on that queue too, by `make`.
// Everything else passes straight through.
class QueuedSource final : public AudioSource {
public:
    using Make = std::function<std::shared_ptr<AudioSource>()>;
    // `worker` may go before this source: what was queued then runs on the caller.
    QueuedSource(Make make, std::weak_ptr<SerialQueue> worker, Executor& mainQueue);
    ~QueuedSource() override;
    void start(Completion completion) override;
    void stop() override;

private:
    struct Inner {
        Make make;
        std::shared_ptr<AudioSource> source;  // worker only
    };
    void onWorker(std::function<void(Inner&)> task);

    std::shared_ptr<Inner> inner_;
    std::weak_ptr<SerialQueue> worker_;
    Executor& mainQueue_;
};

// The machine's capture: AudioSources and InputDevices. What blocks (probing the audio
// server, listing the devices, starting and stopping a source) runs on the queue
// "quorvel.sources"; the main queue reads the answers last received.
class SystemCapture final : public CapturePort {
public:
    // Probes the audio server and lists the devices once, on the calling thread.
    explicit SystemCapture(Executor& mainQueue);
    // Lets the sources' queue finish what it holds (a source's stop, above all).
    ~SystemCapture() override;
    SystemCapture(const SystemCapture&) = delete;
    SystemCapture& operator=(const SystemCapture&) = delete;

    std::shared_ptr<AudioSource> make(const SourceChoice& choice) override;
    bool directAvailable() override;
    // The last listing; each call also asks again in the background.
    std::vector<InputDeviceEntry> inputDevices() override;

    // Asks the audio server again in the background (at most one asking at a time);
    // onChanged runs on the main queue when the answer differs from the last.
    void refresh();
    std::function<void()> onChanged;

private:
    struct Answer {
        AudioSources::Server server = AudioSources::Server::none;
        std::vector<InputDevice> devices;
        bool operator==(const Answer& other) const;
    };
    static Answer ask();
    void received(Answer answer);

    Executor& mainQueue_;
    Answer answer_;  // main queue
    bool asking_ = false;
    std::shared_ptr<SystemCapture*> self_;  // what answers from the queue reach; null once gone
    std::shared_ptr<SerialQueue> worker_;
};

}  // namespace quorvel::app
