#include "app/adapters/capture_adapter.h"

namespace quorvel::app {

QueuedSource::QueuedSource(Make make, std::weak_ptr<SerialQueue> worker, Executor& mainQueue)
    : inner_(std::make_shared<Inner>(Inner{std::move(make), nullptr})), worker_(std::move(worker)),
      mainQueue_(mainQueue) {}

namespace {

// The application's callbacks, handed to the inner source through this: they hold the
// pipeline, which must go on the main queue where it was made, whichever thread lets
// go of the inner source's last copy (the worker, as a rule).
struct MainQueueCallbacks {
    MainQueueCallbacks(AudioSource::OnAudio audio, AudioSource::OnRestartNeeded restart, Executor& queue)
        : onAudio(std::move(audio)), onRestartNeeded(std::move(restart)), mainQueue(queue) {}
    AudioSource::OnAudio onAudio;
    AudioSource::OnRestartNeeded onRestartNeeded;
    Executor& mainQueue;
    ~MainQueueCallbacks() {
        mainQueue.post([audio = std::move(onAudio), restart = std::move(onRestartNeeded)] {});
    }
};

}  // namespace

// The inner source goes on the worker too: it may still be stopping there.
QueuedSource::~QueuedSource() {
    if (auto worker = worker_.lock()) worker->executor().post([keep = std::move(inner_)] {});
}

void QueuedSource::onWorker(std::function<void(Inner&)> task) {
    if (auto worker = worker_.lock()) {
        worker->executor().post([inner = inner_, task = std::move(task)] { task(*inner); });
        return;
    }
    task(*inner_);
}

void QueuedSource::start(Completion completion) {
    // The completion holds this source (through the application's callback); the
    // inner source may keep what it was given, so that lets go of the completion once used.
    auto slot = std::make_shared<Completion>(std::move(completion));
    auto callbacks = std::make_shared<MainQueueCallbacks>(onAudio, onRestartNeeded, mainQueue_);
    onWorker([slot, callbacks, &queue = mainQueue_](Inner& inner) {
        if (!inner.source) {
            inner.source = inner.make();
            // Audio thread: one more indirection, nothing else.
            inner.source->onAudio = [callbacks](AudioBufferList buffers, std::int64_t frames,
                                                const CaptureFormat& format) {
                callbacks->onAudio(buffers, frames, format);
            };
            inner.source->onRestartNeeded = [callbacks] { callbacks->onRestartNeeded(); };
        }
        inner.source->start([slot, &queue](std::optional<std::string> problem) {
            Completion once = std::move(*slot);
            *slot = nullptr;
            if (!once) return;
            queue.post([once = std::move(once), problem = std::move(problem)] { once(problem); });
        });
    });
}

void QueuedSource::stop() {
    onWorker([](Inner& inner) {
        if (inner.source) inner.source->stop();
    });
}

bool SystemCapture::Answer::operator==(const Answer& other) const {
    if (server != other.server || devices.size() != other.devices.size()) return false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const InputDevice& a = devices[i];
        const InputDevice& b = other.devices[i];
        if (a.uid != b.uid || a.name != b.name || a.channels != b.channels || a.channelNames != b.channelNames)
            return false;
    }
    return true;
}

SystemCapture::Answer SystemCapture::ask() {
    return Answer{AudioSources::reachableServer(), InputDevices::list()};
}

SystemCapture::SystemCapture(Executor& mainQueue)
    : mainQueue_(mainQueue), answer_(ask()), self_(std::make_shared<SystemCapture*>(this)),
      worker_(std::make_shared<SerialQueue>("quorvel.sources")) {}

SystemCapture::~SystemCapture() {
    *self_ = nullptr;
    worker_->drain();
}

// "direct" goes through the server found last; a server that has gone since makes
// the source's start fail with its own text, and the next asking notices.
std::shared_ptr<AudioSource> SystemCapture::make(const SourceChoice& choice) {
    if (choice.kind() == SourceChoice::Kind::direct && answer_.server == AudioSources::Server::none) return nullptr;
    return std::make_shared<QueuedSource>(
        [choice, server = answer_.server] { return AudioSources::make(choice, server); }, worker_, mainQueue_);
}

bool SystemCapture::directAvailable() {
    return answer_.server != AudioSources::Server::none;
}

std::vector<InputDeviceEntry> SystemCapture::inputDevices() {
    refresh();
    std::vector<InputDeviceEntry> entries;
    for (const InputDevice& device : answer_.devices) {
        InputDeviceEntry entry{device.uid, device.name, device.channels, nullptr};
        entry.pairTitle = [device](std::int64_t first) { return device.pairTitle(static_cast<int>(first)); };
        entries.push_back(std::move(entry));
    }
    return entries;
}

void SystemCapture::refresh() {
    if (asking_) return;
    asking_ = true;
    worker_->executor().post([self = self_, &queue = mainQueue_] {
        queue.post([self, answer = ask()]() mutable {
            if (*self) (*self)->received(std::move(answer));
        });
    });
}

void SystemCapture::received(Answer answer) {
    asking_ = false;
    if (answer == answer_) return;
    answer_ = std::move(answer);
    if (onChanged) onChanged();
}

}  // namespace quorvel::app
