#include "capture/input_devices.h"

#include <algorithm>

#include "capture/pipewire_graph.h"

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

namespace {

// A channel's name as the device gives it: its position, unless that is a generic one
// (AUX0…, UNK, NA, MONO) that names nothing.
std::string channelName(const std::string& position, std::size_t number) {
    if (position.empty() || position == "UNK" || position == "NA" || position == "MONO" || position.starts_with("AUX"))
        return std::to_string(number);
    return position;
}

}  // namespace

namespace InputDevices {

std::vector<InputDevice> list(const PipeWireGraph& graph) {
    std::vector<InputDevice> devices;
    for (const std::uint32_t id : graph.devices()) {
        const auto inputs = graph.inputChannels(id);
        if (inputs.empty()) continue;
        const PipeWireGraph::Node& node = *graph.node(id);
        InputDevice entry{id, node.name(), node.description(), static_cast<int>(inputs.size()), {}};
        for (std::size_t k = 0; k < inputs.size(); ++k) entry.channelNames.push_back(channelName(inputs[k].channel, k + 1));
        devices.push_back(std::move(entry));
    }
    return devices;
}

std::vector<InputDevice> list() {
    std::vector<InputDevice> devices;
    readCurrentGraph([&devices](const PipeWireGraph& graph) { devices = list(graph); });
    return devices;
}

}  // namespace InputDevices

}  // namespace quorvel
