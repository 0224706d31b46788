#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/sender_port.h"
#include "app/stream_link.h"
#include "audio/audio_pipeline.h"
#include "capture/audio_source.h"
#include "capture/source_choice.h"
#include "config/config.h"
#include "runtime/executor.h"

namespace quorvel::app {

// The user's broadcast intent.
enum class Mode { off, air };

// Everything the application knows, owned by the AppDelegate and touched only on the
// main queue. `capture` and `pipeline` are present together or absent together;
// `sender` exists only while on air (on air without a sender when no listed link was
// selected); the timers run only between starting and stopping a broadcast.
struct AppState {
    std::vector<StreamLink> links;                   // newest first
    std::optional<std::string> selectedSessionId;    // preference "session"
    std::map<std::string, std::string> linkPasswords;  // client passwords of links made here
    std::optional<SourceChoice> source;
    Config config;
    Mode mode = Mode::off;
    std::shared_ptr<SenderPort> sender;
    std::shared_ptr<AudioSource> capture;  // stored only once it has started
    bool starting = false;                 // a capture start is in flight
    std::shared_ptr<AudioPipeline> pipeline;
    SenderState netState;
    std::int64_t listeners = 0;
    std::int64_t sampleRate = 0;  // Hz of the audio last metered; 0 before any
    std::optional<std::string> problem;
    TimerHandle retryTimer;    // 3 s capture retry
    TimerHandle sessionTimer;  // 30 s link refresh
    std::optional<StreamLink> shownLink;          // while the link-created dialog is open
    std::optional<std::string> shownPassword;

    bool paired() const { return config.senderKey.has_value(); }
    // The link whose id is the selected one, if it is listed.
    const StreamLink* selectedLink() const;
    const StreamLink* link(const std::string& id) const;
};

}  // namespace quorvel::app
