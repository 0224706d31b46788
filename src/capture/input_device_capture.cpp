#include "capture/input_device_capture.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "capture/input_devices.h"
#include "capture/pipewire_capture_stream.h"
#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

namespace quorvel {

namespace {

// Every block a graph cycle can hold (PipeWire's largest quantum), so the audio thread
// never has to grow the scratch buffer.
constexpr std::size_t maxQuantumFrames = 8192;

}  // namespace

// The running capture: what the audio thread touches.
struct InputDeviceCapture::Stream {
    std::unique_ptr<PipeWireCaptureStream> stream;
    InputDeviceCapture* owner = nullptr;
    Position left;
    Position right;
    CaptureFormat format;
    std::vector<float> scratch;
};

InputDeviceCapture::InputDeviceCapture(std::string uid, std::int64_t firstChannel)
    : uid_(std::move(uid)), firstChannel_(std::max<std::int64_t>(firstChannel, 1)) {}

InputDeviceCapture::~InputDeviceCapture() {
    stop();
}

InputDeviceCapture::Position InputDeviceCapture::locate(std::int64_t index, std::span<const int> layout) {
    for (std::size_t buffer = 0; buffer < layout.size(); ++buffer) {
        if (index < layout[buffer]) return {buffer, static_cast<std::size_t>(std::max<std::int64_t>(index, 0))};
        index -= layout[buffer];
    }
    return {};
}

// Audio thread: no allocation unless the block is longer than any before, no lock.
std::int64_t InputDeviceCapture::interleave(AudioBufferList input, Position left, Position right,
                                            std::vector<float>& scratch) {
    if (std::max(left.buffer, right.buffer) >= input.size()) return 0;
    const AudioBuffer& l = input[left.buffer];
    const AudioBuffer& r = input[right.buffer];
    if (l.numberChannels == 0 || r.numberChannels == 0 || !l.data || !r.data) return 0;
    // A layout that no longer matches the buffers would read past them.
    if (left.offset >= l.numberChannels || right.offset >= r.numberChannels) return 0;
    const std::size_t frames = std::min(l.dataByteSize / (std::size_t{l.numberChannels} * 4),
                                        r.dataByteSize / (std::size_t{r.numberChannels} * 4));
    if (frames == 0) return 0;
    if (scratch.size() < 2 * frames) scratch.assign(2 * frames, 0.0f);
    const auto* leftData = static_cast<const float*>(l.data);
    const auto* rightData = static_cast<const float*>(r.data);
    for (std::size_t i = 0; i < frames; ++i) {
        scratch[2 * i] = leftData[i * l.numberChannels + left.offset];
        scratch[2 * i + 1] = rightData[i * r.numberChannels + right.offset];
    }
    return static_cast<std::int64_t>(frames);
}

void InputDeviceCapture::start(Completion completion) {
    // Audio input needs no permission here.
    const auto problem = begin();
    if (completion) completion(problem);
}

std::optional<std::string> InputDeviceCapture::begin() {
    stop();  // a second start replaces the first
    int error = 0;
    auto loop = PipeWireLoop::connect("quorvel.input", error);
    if (!loop) return "Звуковая карта не найдена — выберите вход в меню «Источник звука»";
    loop_ = std::move(loop);
    PipeWireLoop::Lock lock(*loop_);
    graph_ = std::make_unique<PipeWireGraph>(*loop_);
    const auto devices = graph_->settle() ? InputDevices::list(*graph_) : std::vector<InputDevice>{};
    const auto device = std::find_if(devices.begin(), devices.end(),
                                     [this](const InputDevice& candidate) { return candidate.uid == uid_; });
    if (device == devices.end()) return "Звуковая карта не найдена — выберите вход в меню «Источник звука»";
    if (device->channels < firstChannel_) return "У звуковой карты нет таких входов";
    const std::uint32_t watched = device->id;
    const double rate = graph_->deviceRate(watched);
    // The stream below takes all the device's channels in one interleaved buffer.
    const std::array<int, 1> layout{device->channels};
    auto running = std::make_unique<Stream>();
    running->owner = this;
    running->left = locate(firstChannel_ - 1, layout);
    running->right = locate(std::min<std::int64_t>(device->channels - 1, firstChannel_), layout);
    running->format = CaptureFormat{rate, 2, true};
    running->scratch.assign(2 * maxQuantumFrames, 0.0f);

    // The device's channels in its own order, unconverted but for the interleaving.
    PipeWireCaptureStream::Request request;
    request.channels = static_cast<std::uint32_t>(device->channels);
    request.rate = static_cast<std::uint32_t>(std::lround(rate));
    for (const auto& port : graph_->inputChannels(watched)) request.positions.push_back(port.channel);
    request.properties = {{"target.object", uid_},
                          {"node.name", "quorvel.input"},
                          {"node.description", "Quorvel input"},
                          {"node.dont-reconnect", "true"},
                          {"stream.dont-remix", "true"},
                          {"node.rate", "1/" + std::to_string(request.rate)},
                          {"node.autoconnect", "true"}};
    PipeWireCaptureStream::Failure failure{};
    running->stream = PipeWireCaptureStream::connect(*loop_, request, error, failure);
    if (!running->stream) {
        if (failure == PipeWireCaptureStream::Failure::create)
            return "Не удалось подключиться к входу звуковой карты (код " + std::to_string(error) + ")";
        return "Не удалось запустить вход звуковой карты (код " + std::to_string(error) + ")";
    }
    Stream* audio = running.get();
    // Audio thread: interleave into the preallocated scratch and lend it; no allocation.
    running->stream->onBuffer = [audio](const AudioBuffer& buffer) {
        const std::array<AudioBuffer, 1> input{buffer};
        const std::int64_t frames = interleave(input, audio->left, audio->right, audio->scratch);
        if (frames == 0) return;
        AudioBuffer out;
        out.numberChannels = 2;
        out.dataByteSize = static_cast<std::uint32_t>(frames * 8);
        out.data = audio->scratch.data();
        const std::array<AudioBuffer, 1> list{out};
        if (audio->owner->onAudio) audio->owner->onAudio(list, frames, audio->format);
    };
    running->stream->onLost = [this] {
        if (onRestartNeeded) onRestartNeeded();
    };
    stream_ = std::move(running);

    // Listeners: the device going away and its rate changing.
    auto lastRate = std::make_shared<double>(rate);
    graph_->onRemoved = [this, watched](std::uint32_t id) {
        if (id == watched && onRestartNeeded) onRestartNeeded();
    };
    graph_->onChange = [this, watched, lastRate] {
        if (!graph_->node(watched)) return;
        const double now = graph_->deviceRate(watched);
        if (now == *lastRate) return;
        *lastRate = now;
        if (onRestartNeeded) onRestartNeeded();
    };
    return std::nullopt;
}

void InputDeviceCapture::stop() {
    if (loop_) {
        PipeWireLoop::Lock lock(*loop_);
        if (graph_) {
            graph_->onRemoved = nullptr;
            graph_->onChange = nullptr;
        }
        stream_.reset();
        graph_.reset();
    }
    loop_.reset();
}

}  // namespace quorvel
