#include "capture/audio_sources.h"

namespace quorvel::AudioSources {

bool directAvailable() {
    return false;
}

}  // namespace quorvel::AudioSources
