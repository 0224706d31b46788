#include "capture/pipewire_capture_stream.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/pipewire_loop.h"

namespace quorvel {

struct PipeWireCaptureStream::Listener {
    spa_hook hook{};
    pw_stream_events events{};
};

namespace {

std::uint32_t positionOf(const std::string& name) {
    for (const spa_type_info* info = spa_type_audio_channel; info->name; ++info) {
        const char* shortName = std::strrchr(info->name, ':');
        if (shortName && name == shortName + 1) return info->type;
    }
    return SPA_AUDIO_CHANNEL_UNKNOWN;
}

}  // namespace

std::unique_ptr<PipeWireCaptureStream> PipeWireCaptureStream::connect(PipeWireLoop& loop, const Request& request,
                                                                      int& error, Failure& failure) {
    failure = Failure::create;
    if (request.channels == 0 || request.channels > SPA_AUDIO_MAX_CHANNELS) {
        error = -EINVAL;
        return nullptr;
    }
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Production", nullptr);
    for (const auto& [key, value] : request.properties) pw_properties_set(properties, key.c_str(), value.c_str());

    std::unique_ptr<PipeWireCaptureStream> self(new PipeWireCaptureStream());
    self->loop_ = &loop;
    self->stream_ = pw_stream_new(loop.core(), "quorvel", properties);
    if (!self->stream_) {
        error = errno > 0 ? -errno : -ENOMEM;
        return nullptr;
    }
    self->listener_ = std::make_unique<Listener>();
    self->listener_->events.version = PW_VERSION_STREAM_EVENTS;
    self->listener_->events.process = &PipeWireCaptureStream::onProcess;
    self->listener_->events.param_changed = &PipeWireCaptureStream::onParamChanged;
    self->listener_->events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state,
                                               const char* message) {
        onStateChanged(data, old, state, message);
    };
    pw_stream_add_listener(self->stream_, &self->listener_->hook, &self->listener_->events, self.get());

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = request.rate;
    info.channels = request.channels;
    for (std::uint32_t i = 0; i < request.channels && i < request.positions.size(); ++i)
        info.position[i] = positionOf(request.positions[i]);
    if (request.positions.size() < request.channels) info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;

    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT |
                                              (request.inactive ? PW_STREAM_FLAG_INACTIVE : 0));
    failure = Failure::connect;
    const int result = pw_stream_connect(self->stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    if (result < 0) {
        error = result;
        return nullptr;
    }
    return self;
}

PipeWireCaptureStream::~PipeWireCaptureStream() {
    if (!stream_) return;
    if (listener_) spa_hook_remove(&listener_->hook);
    pw_stream_destroy(stream_);
}

std::uint32_t PipeWireCaptureStream::nodeId() const {
    const std::uint32_t id = pw_stream_get_node_id(stream_);
    return id == SPA_ID_INVALID ? 0 : id;
}

// The graph stamps its cycles with CLOCK_MONOTONIC, the steady clock's source here.
std::chrono::steady_clock::time_point PipeWireCaptureStream::cycleStart() const {
    pw_time time{};
    if (pw_stream_get_time_n(stream_, &time, sizeof time) < 0 || time.now <= 0) return {};
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(time.now));
}

int PipeWireCaptureStream::setActive(bool active) {
    return pw_stream_set_active(stream_, active);
}

void PipeWireCaptureStream::updateProperties(const std::vector<std::pair<std::string, std::string>>& properties) {
    std::vector<spa_dict_item> items;
    for (const auto& [key, value] : properties) items.push_back(SPA_DICT_ITEM_INIT(key.c_str(), value.c_str()));
    const spa_dict dict = SPA_DICT_INIT(items.data(), static_cast<std::uint32_t>(items.size()));
    pw_stream_update_properties(stream_, &dict);
}

// Loop thread, every cycle: only dequeues, hands over and queues; no allocation.
void PipeWireCaptureStream::onProcess(void* data) {
    auto* self = static_cast<PipeWireCaptureStream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (!buffer) return;
    spa_buffer* inner = buffer->buffer;
    if (inner->n_datas > 0 && inner->datas[0].data && inner->datas[0].chunk && self->onBuffer) {
        const spa_data& block = inner->datas[0];
        // The chunk comes from the other side: keep it inside the mapped memory.
        const std::uint32_t offset = std::min(block.chunk->offset, block.maxsize);
        const std::uint32_t size = std::min(block.chunk->size, block.maxsize - offset);
        AudioBuffer audio;
        audio.numberChannels = self->negotiatedChannels_;
        audio.dataByteSize = size;
        audio.data = static_cast<std::uint8_t*>(block.data) + offset;
        self->onBuffer(audio);
    }
    pw_stream_queue_buffer(self->stream_, buffer);
}

void PipeWireCaptureStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireCaptureStream*>(data);
    if (id != SPA_PARAM_Format) return;
    spa_audio_info_raw info{};
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_audio ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_audio_raw_parse(param, &info) < 0 ||
        info.format != SPA_AUDIO_FORMAT_F32) {
        self->negotiatedChannels_ = 0;  // nothing we can read: blocks are dropped
        return;
    }
    self->negotiatedChannels_ = info.channels;
}

void PipeWireCaptureStream::onStateChanged(void* data, int, int state, const char*) {
    auto* self = static_cast<PipeWireCaptureStream*>(data);
    // A device that goes away only disconnects the stream; its owner learns that from the registry.
    if (state == PW_STREAM_STATE_ERROR && self->onLost) self->onLost();
}

}  // namespace quorvel
