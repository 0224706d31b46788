#include "capture/process_tap_capture.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "capture/pipewire_capture_stream.h"
#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

namespace quorvel {

namespace {

using namespace std::chrono_literals;

constexpr auto negotiationTimeout = 3s;
constexpr const char* tapFailedText = "Не удалось подключиться к звуку Pro Tools";
// What users have always read when the tap's format or the clock device could not be
// learnt: the property's code stands in the text.
constexpr const char* tapFormatUnknownText = "Чтение свойства 1952869748";
constexpr const char* clockUnknownText = "Чтение строки 1969841184";

// Which of the tap's two ports an application's channel feeds: left and right by
// position, a mono channel both, anything else by its place.
std::vector<std::size_t> tapPortsFor(const std::string& channel, std::size_t index) {
    if (channel == "FL" || channel == "SL" || channel == "RL") return {0};
    if (channel == "FR" || channel == "SR" || channel == "RR") return {1};
    if (channel == "MONO" || channel == "FC") return {0, 1};
    return {index % 2};
}

}  // namespace

ProcessTapCapture::ProcessTapCapture() = default;

ProcessTapCapture::~ProcessTapCapture() {
    stop();
}

std::vector<std::uint32_t> ProcessTapCapture::proToolsProcesses(const PipeWireGraph& graph) {
    std::vector<std::uint32_t> kept;
    for (const std::uint32_t stream : graph.applicationStreams())
        if (AudioSources::isProTools(graph.identity(stream))) kept.push_back(stream);
    return kept;
}

std::vector<std::uint32_t> ProcessTapCapture::proToolsProcesses() {
    std::vector<std::uint32_t> processes;
    readCurrentGraph([&processes](const PipeWireGraph& graph) { processes = proToolsProcesses(graph); });
    return processes;
}

// Audio thread: arithmetic only.
std::int64_t ProcessTapCapture::framesIn(AudioBufferList buffers, const CaptureFormat& format) {
    if (buffers.empty() || !buffers[0].data) return 0;
    const std::int64_t samplesPerFrame = format.interleaved && format.channels >= 2 ? format.channels : 1;
    return static_cast<std::int64_t>(buffers[0].dataByteSize) / (samplesPerFrame * 4);
}

void ProcessTapCapture::start(Completion completion) {
    const auto processes = proToolsProcesses();
    std::optional<std::string> problem;
    if (processes.empty()) {
        problem = "Pro Tools не запущен или пока не выводит звук";
    } else if (const auto error = start(processes)) {
        problem = error->description();
    }
    if (completion) completion(problem);
}

std::optional<CaptureError> ProcessTapCapture::start(const std::vector<std::uint32_t>& processes) {
    stop();
    int error = 0;
    loop_ = PipeWireLoop::connect("quorvel.audio", error);
    if (!loop_) return CaptureError{tapFailedText, error};
    bool tearDown = false;
    std::optional<CaptureError> failure;
    {
        PipeWireLoop::Lock lock(*loop_);
        failure = build(processes, tearDown);
    }
    if (failure && tearDown) stop();
    return failure;
}

// Under the loop's lock.
std::optional<CaptureError> ProcessTapCapture::build(const std::vector<std::uint32_t>& processes, bool& tearDown) {
    graph_ = std::make_unique<PipeWireGraph>(*loop_);
    if (!graph_->settle()) return CaptureError{tapFailedText, loop_->error() ? loop_->error() : -ETIMEDOUT};

    // The tap: a capture node that nothing links automatically, fed by the applications.
    PipeWireCaptureStream::Request request;
    request.channels = 2;
    request.positions = {"FL", "FR"};
    request.properties = {{"node.name", "quorvel.tap"},
                          {"node.description", "Velmora Remote Studio (захват)"},
                          {"media.name", "Velmora Remote Studio"},
                          {"node.autoconnect", "false"},
                          {"node.dont-reconnect", "true"}};
    int error = 0;
    PipeWireCaptureStream::Failure failure{};
    stream_ = PipeWireCaptureStream::connect(*loop_, request, error, failure);
    if (!stream_) return CaptureError{tapFailedText, error};
    graph_->onChange = [loop = loop_.get()] { loop->signal(); };
    const auto deadline = std::chrono::steady_clock::now() + negotiationTimeout;
    const auto tapPorts = [this] {
        const std::uint32_t node = stream_->nodeId();
        return node ? graph_->ports(node, false) : std::vector<PipeWireGraph::Port>{};
    };
    // The applications' ports may still be on their way when their streams are.
    const auto portsKnown = [&] {
        return std::all_of(processes.begin(), processes.end(),
                           [this](std::uint32_t process) { return !graph_->ports(process, true).empty(); });
    };
    while ((tapPorts().size() < 2 || !portsKnown()) && loop_->waitUntil(deadline)) {
    }
    const auto inputs = tapPorts();
    if (inputs.size() < 2) return CaptureError{tapFailedText, -ETIMEDOUT};
    tapID_ = stream_->nodeId();
    link(processes, inputs);
    if (links_.empty()) return CaptureError{tapFailedText, -ENOENT};

    // The tap's format, once the links have negotiated one: interleaved 32-bit floats, as
    // our stream asks for.
    while (!(graph_->node(tapID_) && graph_->node(tapID_)->format) && loop_->waitUntil(deadline)) {
    }
    const PipeWireGraph::Node* tap = graph_->node(tapID_);
    if (!tap || !tap->format) return CaptureError{tapFormatUnknownText, -ETIMEDOUT};
    format_ = CaptureFormat{static_cast<double>(tap->format->rate), static_cast<int>(tap->format->channels), true};

    // The clock: the output device the first application plays to, else the default one.
    std::optional<std::uint32_t> clock;
    for (const std::uint32_t process : processes) {
        if (const auto devices = graph_->playsInto(process); !devices.empty()) {
            clock = devices.front();
            break;
        }
    }
    if (!clock) clock = graph_->defaultSink();
    const PipeWireGraph::Node* clockDevice = clock ? graph_->node(*clock) : nullptr;
    if (!clockDevice) return CaptureError{clockUnknownText, -ENOENT};
    clockUID_ = clockDevice->name();
    stream_->updateProperties({{"quorvel.clock.device", clockUID_}});

    // Audio thread: lends the stream's own buffer; no copy, no allocation.
    stream_->onBuffer = [this](const AudioBuffer& buffer) {
        if (!format_ || buffer.numberChannels != static_cast<std::uint32_t>(format_->channels)) return;
        const std::array<AudioBuffer, 1> list{buffer};
        const std::int64_t frames = framesIn(list, *format_);
        if (frames < 1) return;
        if (onAudio) onAudio(list, frames, *format_);
    };
    if (const int status = stream_->setActive(true); status < 0) {
        tearDown = true;
        return CaptureError{"Не удалось запустить захват", status};
    }
    listen();
    return std::nullopt;
}

void ProcessTapCapture::link(const std::vector<std::uint32_t>& processes, const std::vector<PipeWireGraph::Port>& inputs) {
    for (const std::uint32_t process : processes) {
        const auto outputs = graph_->ports(process, true);
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            for (const std::size_t target : tapPortsFor(outputs[i].channel, i)) {
                pw_properties* properties = pw_properties_new(nullptr, nullptr);
                pw_properties_setf(properties, PW_KEY_LINK_OUTPUT_NODE, "%u", process);
                pw_properties_setf(properties, PW_KEY_LINK_OUTPUT_PORT, "%u", outputs[i].id);
                pw_properties_setf(properties, PW_KEY_LINK_INPUT_NODE, "%u", tapID_);
                pw_properties_setf(properties, PW_KEY_LINK_INPUT_PORT, "%u", inputs[target].id);
                pw_properties_set(properties, PW_KEY_OBJECT_LINGER, "false");
                auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
                    loop_->core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &properties->dict, 0));
                pw_properties_free(properties);
                if (proxy) links_.push_back(proxy);
            }
        }
    }
}

// Listeners: a new rate or format of the tap, or the tap taken away.
void ProcessTapCapture::listen() {
    auto last = std::make_shared<PipeWireGraph::RawFormat>(*graph_->node(tapID_)->format);
    graph_->onChange = [this, last] {
        const PipeWireGraph::Node* tap = graph_->node(tapID_);
        if (!tap || !tap->format) return;
        if (tap->format->rate == last->rate && tap->format->channels == last->channels &&
            tap->format->format == last->format)
            return;
        *last = *tap->format;
        if (onRestartNeeded) onRestartNeeded();
    };
    graph_->onRemoved = [this](std::uint32_t id) {
        if (id == tapID_ && onRestartNeeded) onRestartNeeded();
    };
    stream_->onLost = [this] {
        if (onRestartNeeded) onRestartNeeded();
    };
}

void ProcessTapCapture::stop() {
    if (loop_) {
        PipeWireLoop::Lock lock(*loop_);
        if (graph_) {
            graph_->onChange = nullptr;
            graph_->onRemoved = nullptr;
        }
        // The capture first, then the links that fed it.
        stream_.reset();
        for (pw_proxy* proxy : links_) pw_proxy_destroy(proxy);
        links_.clear();
        graph_.reset();
        format_.reset();
    }
    loop_.reset();
    tapID_ = 0;
    clockUID_.clear();
}

}  // namespace quorvel
