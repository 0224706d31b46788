#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/audio_objects.h"

namespace quorvel {

// One audio device with input channels.
struct InputDevice {
    AudioObjectID id = audio_object::unknown;  // valid for this run only
    std::string uid;                           // persistent; what a SourceChoice stores
    std::string name;
    int channels = 0;                        // >= 1, over all input buffers
    std::vector<std::string> channelNames;  // entry k-1 names channel k

    // The menu title of the pair starting at 1-based channel `first`, e.g. "Inputs 1–2",
    // "Inputs 1–2 (Mic L, Mic R)", "Input 3". `first` is taken into 1 … channels.
    std::string pairTitle(int first) const;
};

// The devices with input channels, asked afresh on every call.
namespace InputDevices {

std::vector<InputDevice> list(const AudioObjects& objects);
// The channel count of each of the device's input buffers; empty when unreadable.
std::vector<int> bufferLayout(const AudioObjects& objects, AudioObjectID device);
// The device's own name for 1-based input channel `channel`; none when it gives none.
std::optional<std::string> channelName(const AudioObjects& objects, AudioObjectID device, std::uint32_t channel);

// The same, from the system's audio server as it stands now.
std::vector<InputDevice> list();

}  // namespace InputDevices

}  // namespace quorvel
