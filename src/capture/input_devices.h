#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

class PipeWireGraph;

// One audio device with input channels.
struct InputDevice {
    std::uint32_t id = 0;  // its node in the graph, valid for this run only
    std::string uid;       // persistent; what a SourceChoice stores
    std::string name;
    int channels = 0;                        // >= 1
    std::vector<std::string> channelNames;  // entry k-1 names channel k

    // The menu title of the pair starting at 1-based channel `first`, e.g. "Inputs 1–2",
    // "Inputs 1–2 (Mic L, Mic R)", "Input 3". `first` is taken into 1 … channels.
    std::string pairTitle(int first) const;
};

// The devices with input channels, in the graph's order.
namespace InputDevices {

std::vector<InputDevice> list(const PipeWireGraph& graph);
// The same, from the running audio server as it stands now; none without one.
std::vector<InputDevice> list();

}  // namespace InputDevices

}  // namespace quorvel
