#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/audio_source.h"
#include "capture/source_choice.h"

namespace quorvel::app {

// An audio interface with inputs, as the source menu shows it.
struct InputDeviceEntry {
    std::string uid;
    std::string name;
    std::int64_t channels = 0;
    // Menu title of the pair starting at 1-based channel `first` (1 <= first <= channels).
    std::function<std::string(std::int64_t first)> pairTitle;
};

// The capture side of the machine: which sources exist and how to make one.
class CapturePort {
public:
    virtual ~CapturePort() = default;
    // A new idle source for `choice`, or none when this machine cannot capture it.
    virtual std::shared_ptr<AudioSource> make(const SourceChoice& choice) = 0;
    // Whether the Pro Tools output can be captured here.
    virtual bool directAvailable() = 0;
    // The audio interfaces with inputs, asked afresh on every call.
    virtual std::vector<InputDeviceEntry> inputDevices() = 0;
};

}  // namespace quorvel::app
