#pragma once

#include <memory>
#include <string_view>

namespace quorvel {
class AudioSource;
class SourceChoice;
}  // namespace quorvel

namespace quorvel::AudioSources {

// A process or application belongs to Pro Tools when its application identity
// begins with these characters (case-sensitive).
inline constexpr std::string_view proToolsBundlePrefix = "com.avid.ProTools";

// Menu title of the "direct" choice.
inline constexpr std::string_view directTitle = "ProTools Output";

inline bool isProTools(std::string_view applicationIdentity) {
    return applicationIdentity.starts_with(proToolsBundlePrefix);
}

// The audio server that the Pro Tools output can be captured through: PipeWire (the
// tap), else a PulseAudio server (the per-application monitor), else none.
enum class Server { pipeWire, pulseAudio, none };
Server reachableServer();

// Whether the Pro Tools output can be captured on this machine: an audio server
// that supports a tap or a per-application monitor is reachable.
bool directAvailable();

// A new, idle source for the choice: an input is always possible; the Pro Tools output
// goes through the reachable server, and is nothing without one.
std::shared_ptr<AudioSource> make(const SourceChoice& choice);
// The same with the server already known (reachableServer() takes a while to answer).
std::shared_ptr<AudioSource> make(const SourceChoice& choice, Server server);

}  // namespace quorvel::AudioSources
