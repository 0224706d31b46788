#include "capture/system_audio_objects.h"

#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

namespace quorvel {

std::shared_ptr<const TableAudioObjects> systemAudioObjects() {
    int error = 0;
    const auto loop = PipeWireLoop::connect("quorvel.devices", error);
    if (!loop) return std::make_shared<TableAudioObjects>();
    PipeWireLoop::Lock lock(*loop);
    PipeWireGraph graph(*loop);
    if (!graph.settle()) return std::make_shared<TableAudioObjects>();
    return graph.table();
}

}  // namespace quorvel
