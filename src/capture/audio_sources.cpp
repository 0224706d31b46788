#include "capture/audio_sources.h"

#include <pulse/pulseaudio.h>

#include <chrono>

#include "capture/input_device_capture.h"
#include "capture/pipewire_loop.h"
#include "capture/process_tap_capture.h"
#include "capture/screen_capture_audio.h"
#include "capture/source_choice.h"

namespace quorvel::AudioSources {

namespace {

// Whether a PulseAudio server (or PipeWire's) answers within a second.
bool pulseAnswers() {
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return false;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Quorvel");
    bool ready = false;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < deadline) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) ready = true;
            if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state)) break;
            pa_mainloop_prepare(loop, 10000);
            pa_mainloop_poll(loop);
            pa_mainloop_dispatch(loop);
        }
        pa_context_disconnect(context);
    }
    if (context) pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
}

}  // namespace

Server reachableServer() {
    int error = 0;
    if (PipeWireLoop::connect("quorvel.probe", error)) return Server::pipeWire;
    return pulseAnswers() ? Server::pulseAudio : Server::none;
}

bool directAvailable() {
    return reachableServer() != Server::none;
}

// An input needs no probe.
std::shared_ptr<AudioSource> make(const SourceChoice& choice) {
    return make(choice, choice.kind() == SourceChoice::Kind::input ? Server::none : reachableServer());
}

std::shared_ptr<AudioSource> make(const SourceChoice& choice, Server server) {
    if (choice.kind() == SourceChoice::Kind::input)
        return std::make_shared<InputDeviceCapture>(choice.uid(), choice.first());
    switch (server) {
        case Server::pipeWire: return std::make_shared<ProcessTapCapture>();
        case Server::pulseAudio: return std::make_shared<ScreenCaptureAudio>();
        case Server::none: break;
    }
    return nullptr;
}

}  // namespace quorvel::AudioSources
