#include "capture/screen_capture_audio.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "capture/audio_sources.h"

namespace quorvel {

namespace {

constexpr pa_usec_t answerTimeout = 3 * PA_USEC_PER_SEC;
constexpr std::size_t mixCapacityFrames = ScreenCaptureAudio::sampleRate / 2;
constexpr std::size_t mixLeadFrames = ScreenCaptureAudio::sampleRate / 10;

// Without a server there is no way to the applications' audio.
const char* const unreachableText = "Нет доступа к записи звука: звуковой сервер PulseAudio не отвечает";

// The properties that say whose a stream is.
struct Identity {
    std::string applicationID;
    std::string portalID;
    std::string binary;
    std::string processID;

    static Identity of(const pa_proplist* properties) {
        const auto get = [properties](const char* key) {
            const char* value = pa_proplist_gets(properties, key);
            return std::string(value ? value : "");
        };
        return {get("application.id"), get("pipewire.access.portal.app_id"), get(PA_PROP_APPLICATION_PROCESS_BINARY),
                get(PA_PROP_APPLICATION_PROCESS_ID)};
    }
};

// application.id, else the portal's app id, else the binary: each from the stream, else
// from its client (a native PipeWire client's stream carries only its own properties).
std::string identityOf(const Identity& stream, const Identity& client) {
    for (const auto field : {&Identity::applicationID, &Identity::portalID, &Identity::binary}) {
        if (!(stream.*field).empty()) return stream.*field;
        if (!(client.*field).empty()) return client.*field;
    }
    return {};
}

}  // namespace

ScreenCaptureAudio::Mixer::Mixer(std::size_t inputs, std::size_t capacityFrames, std::size_t leadFrames)
    : rings_(inputs, std::vector<float>(capacityFrames * channels)),
      filled_(inputs, 0),
      mixed_(capacityFrames * channels),
      capacity_(capacityFrames),
      lead_(leadFrames) {}

// Audio thread: copies and sums within the buffers made at construction.
std::size_t ScreenCaptureAudio::Mixer::add(std::size_t input, const float* samples, std::size_t frames) {
    if (input >= rings_.size()) return 0;
    const std::size_t taken = std::min(frames, capacity_ - filled_[input]);
    std::copy_n(samples, taken * channels, rings_[input].begin() + static_cast<std::ptrdiff_t>(filled_[input] * channels));
    filled_[input] += taken;

    const auto [least, most] = std::minmax_element(filled_.begin(), filled_.end());
    // Inputs that fell behind by more than the lead are silent for the difference.
    const std::size_t ready = *most - *least > lead_ ? *most : *least;
    if (ready == 0) return 0;
    std::fill_n(mixed_.begin(), ready * channels, 0.0f);
    for (std::size_t i = 0; i < rings_.size(); ++i) {
        const std::size_t used = std::min(ready, filled_[i]);
        auto& ring = rings_[i];
        for (std::size_t k = 0; k < used * channels; ++k) mixed_[k] += ring[k];
        std::copy(ring.begin() + static_cast<std::ptrdiff_t>(used * channels),
                  ring.begin() + static_cast<std::ptrdiff_t>(filled_[i] * channels), ring.begin());
        filled_[i] -= used;
    }
    return ready;
}

// The running capture; its callbacks run on the mainloop's thread.
struct ScreenCaptureAudio::Capture {
    ScreenCaptureAudio* owner = nullptr;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::vector<pa_stream*> streams;
    std::vector<std::uint32_t> sinkInputs;
    std::unique_ptr<Mixer> mixer;
    bool listed = false;
    bool timedOut = false;
    bool running = false;  // start has succeeded: from now on an end asks for a restart
    bool ended = false;

    struct Target {
        std::uint32_t sinkInput;
        std::uint32_t sink;
        std::string monitor;
    };
    std::vector<Target> targets;
    std::map<std::uint32_t, Identity> clients;

    ~Capture() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        for (pa_stream* stream : streams) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    // Under the lock: sleeps until a callback signals or the answer timeout passes.
    bool waitFor(const auto& done) {
        timedOut = false;
        pa_time_event* timer = pa_context_rttime_new(
            context, pa_rtclock_now() + answerTimeout,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
                auto* self = static_cast<Capture*>(data);
                self->timedOut = true;
                pa_threaded_mainloop_signal(self->loop, 0);
            },
            this);
        while (!done() && !timedOut) pa_threaded_mainloop_wait(loop);
        pa_threaded_mainloop_get_api(loop)->time_free(timer);
        return done();
    }

    void ended_() {
        if (!running || ended) return;
        ended = true;
        if (owner->onRestartNeeded) owner->onRestartNeeded();
    }

    static void onSignal(pa_context*, void* data) { pa_threaded_mainloop_signal(static_cast<Capture*>(data)->loop, 0); }

    static void onClient(pa_context*, const pa_client_info* info, int last, void* data) {
        auto* self = static_cast<Capture*>(data);
        if (last == 0 && info) {
            self->clients[info->index] = Identity::of(info->proplist);
            return;
        }
        self->listed = true;
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int last, void* data) {
        auto* self = static_cast<Capture*>(data);
        if (last != 0 || !info) {
            self->listed = true;
            pa_threaded_mainloop_signal(self->loop, 0);
            return;
        }
        const Identity stream = Identity::of(info->proplist);
        const auto found = self->clients.find(info->client);
        const Identity client = found == self->clients.end() ? Identity{} : found->second;
        const std::string process = stream.processID.empty() ? client.processID : stream.processID;
        if (process == std::to_string(::getpid())) return;  // our own audio
        if (!AudioSources::isProTools(identityOf(stream, client))) return;
        self->targets.push_back({info->index, info->sink, {}});
    }

    static void onSink(pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* self = static_cast<Capture*>(data);
        if (last == 0 && info) {
            for (auto& target : self->targets)
                if (target.sink == info->index && info->monitor_source_name) target.monitor = info->monitor_source_name;
            return;
        }
        self->listed = true;
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* self = static_cast<Capture*>(data);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) self->ended_();
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    // Audio thread: peek, mix within preallocated buffers, lend, drop.
    static void onRead(pa_stream* stream, std::size_t, void* data) {
        auto* self = static_cast<Capture*>(data);
        const auto input = static_cast<std::size_t>(
            std::find(self->streams.begin(), self->streams.end(), stream) - self->streams.begin());
        const void* bytes = nullptr;
        std::size_t size = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &bytes, &size) == 0 && size > 0) {
            const pa_sample_spec* spec = pa_stream_get_sample_spec(stream);
            if (bytes && spec->format == PA_SAMPLE_FLOAT32LE && spec->channels == channels) {
                const std::size_t frames = size / (sizeof(float) * channels);
                const std::size_t ready = self->mixer->add(input, static_cast<const float*>(bytes), frames);
                if (ready > 0 && self->owner->onAudio) {
                    const std::array<AudioBuffer, 1> list{
                        AudioBuffer{static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(ready * 8),
                                    const_cast<float*>(self->mixer->output())}};
                    self->owner->onAudio(list, static_cast<std::int64_t>(ready),
                                         CaptureFormat{static_cast<double>(spec->rate), channels, true});
                }
            }
            pa_stream_drop(stream);
        }
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* data) {
        auto* self = static_cast<Capture*>(data);
        const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        const bool sinkInput = (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT;
        if (removed && sinkInput &&
            std::find(self->sinkInputs.begin(), self->sinkInputs.end(), index) != self->sinkInputs.end())
            self->ended_();
    }

    static void onContextState(pa_context* context, void* data) {
        auto* self = static_cast<Capture*>(data);
        const pa_context_state_t state = pa_context_get_state(context);
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && !self->streams.empty()) self->ended_();
        pa_threaded_mainloop_signal(self->loop, 0);
    }
};

ScreenCaptureAudio::ScreenCaptureAudio() = default;

ScreenCaptureAudio::~ScreenCaptureAudio() {
    stop();
}

void ScreenCaptureAudio::start(Completion completion) {
    auto problem = begin();
    if (problem) stop();
    if (completion) completion(problem);
}

std::optional<std::string> ScreenCaptureAudio::begin() {
    stop();
    auto capture = std::make_unique<Capture>();
    capture->owner = this;
    capture->loop = pa_threaded_mainloop_new();
    if (!capture->loop) return unreachableText;
    pa_threaded_mainloop_set_name(capture->loop, "quorvel.sck");
    capture->context = pa_context_new(pa_threaded_mainloop_get_api(capture->loop), "Quorvel");
    if (!capture->context || pa_threaded_mainloop_start(capture->loop) < 0) return unreachableText;
    capture_ = std::move(capture);
    Capture& c = *capture_;

    pa_threaded_mainloop_lock(c.loop);
    struct Unlock {
        pa_threaded_mainloop* loop;
        ~Unlock() { pa_threaded_mainloop_unlock(loop); }
    } unlock{c.loop};

    // The content: the server, and the streams that play.
    pa_context_set_state_callback(c.context, &Capture::onContextState, &c);
    if (pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return unreachableText;
    const auto contextSettled = [&] {
        const auto state = pa_context_get_state(c.context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!c.waitFor(contextSettled) || pa_context_get_state(c.context) != PA_CONTEXT_READY) return unreachableText;

    c.listed = false;
    pa_operation_unref(pa_context_get_client_info_list(c.context, &Capture::onClient, &c));
    if (!c.waitFor([&] { return c.listed; })) return unreachableText;
    c.listed = false;
    pa_operation_unref(pa_context_get_sink_input_info_list(c.context, &Capture::onSinkInput, &c));
    if (!c.waitFor([&] { return c.listed; })) return unreachableText;
    if (c.targets.empty()) return "Pro Tools не запущен";

    c.listed = false;
    pa_operation_unref(pa_context_get_sink_info_list(c.context, &Capture::onSink, &c));
    if (!c.waitFor([&] { return c.listed; })) return unreachableText;

    // One monitor stream per application stream, each kept on its stream.
    pa_context_set_subscribe_callback(c.context, &Capture::onEvent, &c);
    pa_operation_unref(pa_context_subscribe(c.context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    c.mixer = std::make_unique<Mixer>(c.targets.size(), mixCapacityFrames, mixLeadFrames);
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, sampleRate, static_cast<std::uint8_t>(channels)};
    const auto failedText = [&] { return "Не удалось начать запись звука: " + std::string(pa_strerror(pa_context_errno(c.context))); };
    for (const auto& target : c.targets) {
        pa_stream* stream = pa_stream_new(c.context, "Velmora Remote Studio", &spec, nullptr);
        if (!stream) return failedText();
        c.streams.push_back(stream);
        c.sinkInputs.push_back(target.sinkInput);
        pa_stream_set_state_callback(stream, &Capture::onStreamState, &c);
        pa_stream_set_read_callback(stream, &Capture::onRead, &c);
        if (pa_stream_set_monitor_stream(stream, target.sinkInput) < 0) return failedText();
        pa_buffer_attr attributes;
        std::memset(&attributes, 0xff, sizeof attributes);
        attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &spec));
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream, target.monitor.empty() ? nullptr : target.monitor.c_str(), &attributes,
                                     flags) < 0)
            return failedText();
    }
    const auto streamsSettled = [&] {
        return std::all_of(c.streams.begin(), c.streams.end(),
                           [](pa_stream* s) { return pa_stream_get_state(s) != PA_STREAM_CREATING; });
    };
    if (!c.waitFor(streamsSettled)) return "Не удалось начать запись звука: " + std::string(pa_strerror(PA_ERR_TIMEOUT));
    for (pa_stream* stream : c.streams)
        if (pa_stream_get_state(stream) != PA_STREAM_READY) return failedText();
    c.running = true;
    return std::nullopt;
}

void ScreenCaptureAudio::stop() {
    capture_.reset();
}

}  // namespace quorvel
