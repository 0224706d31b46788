#include <iostream>

#include "capture/audio_sources.h"
#include "capture/input_devices.h"
#include "capture/source_choice.h"
#include "cli/commands.h"

namespace quorvel::cli {

namespace {

int listSources() {
    const auto devices = InputDevices::list();
    std::cout << "Input devices:\n";
    if (devices.empty()) std::cout << "  (none)\n";
    for (const auto& device : devices) {
        std::cout << "  " << device.name << " — " << device.channels << (device.channels == 1 ? " channel" : " channels")
                  << " (" << device.uid << ")\n";
        for (int first = 1; first <= device.channels; first += 2)
            std::cout << "    " << device.pairTitle(first) << "    " << SourceChoice::input(device.uid, first).key()
                      << "\n";
    }
    std::cout << "\n" << AudioSources::directTitle << ": ";
    switch (AudioSources::reachableServer()) {
        case AudioSources::Server::pipeWire:
            std::cout << "available through PipeWire (application tap)    " << SourceChoice::direct().key() << "\n";
            break;
        case AudioSources::Server::pulseAudio:
            std::cout << "available through the PulseAudio server (application monitor)    "
                      << SourceChoice::direct().key() << "\n";
            break;
        case AudioSources::Server::none:
            std::cout << "not available: neither a PipeWire nor a PulseAudio server answers\n";
            break;
    }
    return 0;
}

}  // namespace

Command addSourcesCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("sources", "List the audio sources this computer can broadcast from");
    return {command, listSources};
}

}  // namespace quorvel::cli
