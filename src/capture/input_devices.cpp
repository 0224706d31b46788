#include "capture/input_devices.h"

#include <algorithm>
#include <numeric>

#include "capture/property_reader.h"
#include "capture/stream_description.h"
#include "capture/system_audio_objects.h"

namespace quorvel {

std::string InputDevice::pairTitle(int first) const {
    const int count = std::max(channels, 1);
    first = std::clamp(first, 1, count);
    const int second = std::min(count, first + 1);
    const auto nameOf = [this](int channel) {
        const auto index = static_cast<std::size_t>(channel - 1);
        return index < channelNames.size() ? channelNames[index] : std::to_string(channel);
    };
    const std::string firstName = nameOf(first);
    const std::string secondName = nameOf(second);
    const bool custom = firstName != std::to_string(first) || secondName != std::to_string(second);
    const std::string base = first == second
                                 ? "Input " + std::to_string(first)
                                 : "Inputs " + std::to_string(first) + "\u2013" + std::to_string(second);
    return custom ? base + " (" + firstName + ", " + secondName + ")" : base;
}

namespace InputDevices {

std::vector<int> bufferLayout(const AudioObjects& objects, AudioObjectID device) {
    const PropertyAddress where = address(selector::streamConfiguration, scope::input);
    std::uint32_t size = 0;
    if (objects.getPropertyDataSize(device, where, size) != audio_status::ok || size == 0) return {};
    std::vector<std::uint8_t> bytes(size);
    if (objects.getPropertyData(device, where, size, bytes.data()) != audio_status::ok) return {};
    bytes.resize(std::min<std::size_t>(size, bytes.size()));
    return StreamConfiguration::decode(bytes);
}

std::optional<std::string> channelName(const AudioObjects& objects, AudioObjectID device, std::uint32_t channel) {
    PropertyString reference = nullptr;
    std::uint32_t size = sizeof(reference);
    const OSStatus status =
        objects.getPropertyData(device, {selector::elementName, scope::input, channel}, size, &reference);
    const std::unique_ptr<std::string> owned(reference);
    if (status != audio_status::ok || !owned || owned->empty()) return std::nullopt;
    return *owned;
}

std::vector<InputDevice> list(const AudioObjects& objects) {
    const auto ids = PropertyReader(objects, audio_object::system).readIDs(selector::devices);
    if (!ids) return {};
    std::vector<InputDevice> devices;
    for (const AudioObjectID id : *ids) {
        std::int64_t total = 0;
        for (const int channels : bufferLayout(objects, id)) total += std::max(channels, 0);
        if (total < 1 || total > 1 << 16) continue;
        const PropertyReader device(objects, id);
        auto uid = device.readString(selector::deviceUID);
        if (!uid) continue;
        auto name = device.readString(selector::name);
        if (!name) continue;
        InputDevice entry{id, std::move(*uid), std::move(*name), static_cast<int>(total), {}};
        for (std::int64_t k = 1; k <= total; ++k)
            entry.channelNames.push_back(
                channelName(objects, id, static_cast<std::uint32_t>(k)).value_or(std::to_string(k)));
        devices.push_back(std::move(entry));
    }
    return devices;
}

std::vector<InputDevice> list() {
    return list(*systemAudioObjects());
}

}  // namespace InputDevices

}  // namespace quorvel
