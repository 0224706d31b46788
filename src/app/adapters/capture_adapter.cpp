#include "app/adapters/capture_adapter.h"

#include "capture/audio_sources.h"
#include "capture/input_devices.h"

namespace quorvel::app {

void MainQueueSource::start(Completion completion) {
    inner_->onAudio = onAudio;
    inner_->onRestartNeeded = onRestartNeeded;
    // The completion holds this source (through the application's callback); the
    // inner source may keep the wrapper, so it lets go of the completion once used.
    auto slot = std::make_shared<Completion>(std::move(completion));
    inner_->start([slot, &queue = mainQueue_](std::optional<std::string> problem) {
        Completion once = std::move(*slot);
        *slot = nullptr;
        if (!once) return;
        queue.post([once = std::move(once), problem = std::move(problem)] { once(problem); });
    });
}

std::shared_ptr<AudioSource> SystemCapture::make(const SourceChoice& choice) {
    auto source = AudioSources::make(choice);
    if (!source) return nullptr;
    return std::make_shared<MainQueueSource>(std::move(source), mainQueue_);
}

bool SystemCapture::directAvailable() {
    return AudioSources::directAvailable();
}

std::vector<InputDeviceEntry> SystemCapture::inputDevices() {
    std::vector<InputDeviceEntry> entries;
    for (auto& device : InputDevices::list()) {
        InputDeviceEntry entry{device.uid, device.name, device.channels, nullptr};
        entry.pairTitle = [device = std::move(device)](std::int64_t first) {
            return device.pairTitle(static_cast<int>(first));
        };
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace quorvel::app
