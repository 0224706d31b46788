#include "app/app_delegate.h"
#include "capture/audio_sources.h"

namespace quorvel::app {

// The start itself decides whether anything happens: only on air, with no capture
// running or starting.
void AppDelegate::appLaunched(const std::string& applicationIdentity) {
    if (!AudioSources::isProTools(applicationIdentity)) return;
    ports_.mainQueue.postAfter(proToolsStartDelay, weakly([](AppDelegate& d) { d.startCapture(); }));
}

// Stops whatever capture runs, whatever the source; on air the retry timer takes over.
void AppDelegate::appQuit(const std::string& applicationIdentity) {
    if (!AudioSources::isProTools(applicationIdentity)) return;
    stopCapture();
    if (state_.mode == Mode::air) state_.problem = "Pro Tools закрыт";
    refresh();
}

}  // namespace quorvel::app
