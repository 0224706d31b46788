#pragma once

#include <memory>

#include "capture/table_audio_objects.h"

namespace quorvel {

// The audio objects of the running audio server, read now: an empty table (every read
// fails with a bad-object status) when no PipeWire server answers.
std::shared_ptr<const TableAudioObjects> systemAudioObjects();

}  // namespace quorvel
