#include "capture/pipewire_graph.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "capture/pipewire_loop.h"

namespace quorvel {

namespace {

enum Kind { nodeKind, clientKind, metadataKind };

std::map<std::string, std::string> toMap(const spa_dict* dict) {
    std::map<std::string, std::string> map;
    if (!dict) return map;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) {
        if (item->key && item->value) map[item->key] = item->value;
    }
    return map;
}

std::string lookup(const std::map<std::string, std::string>& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? std::string() : found->second;
}

std::uint32_t toNumber(const std::string& text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

// The "name" member of a default-node metadata value such as {"name":"speakers"}.
std::string jsonName(const char* value) {
    if (!value) return {};
    spa_json outer;
    spa_json object;
    spa_json_init(&outer, value, std::strlen(value));
    if (spa_json_enter_object(&outer, &object) <= 0) return {};
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        char text[512];
        if (std::strcmp(key, "name") == 0) {
            if (spa_json_get_string(&object, text, sizeof text) > 0) return text;
            return {};
        }
        const char* skipped;
        if (spa_json_next(&object, &skipped) <= 0) return {};
    }
    return {};
}

// Ports in their node's order.
std::vector<PipeWireGraph::Port> byIndex(std::vector<PipeWireGraph::Port> ports) {
    std::sort(ports.begin(), ports.end(),
              [](const PipeWireGraph::Port& a, const PipeWireGraph::Port& b) { return a.index < b.index; });
    return ports;
}

}  // namespace

std::string PipeWireGraph::Node::mediaClass() const {
    return lookup(props, PW_KEY_MEDIA_CLASS);
}

std::string PipeWireGraph::Node::name() const {
    return lookup(props, PW_KEY_NODE_NAME);
}

std::string PipeWireGraph::Node::description() const {
    for (const char* key : {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK})
        if (std::string text = lookup(props, key); !text.empty()) return text;
    return name();
}

struct PipeWireGraph::RegistryListener {
    spa_hook hook{};
    pw_registry_events events{};
};

// A bound proxy and its listeners.
struct PipeWireGraph::Bound {
    PipeWireGraph* graph = nullptr;
    std::uint32_t id = 0;
    int kind = nodeKind;
    pw_proxy* proxy = nullptr;
    spa_hook objectHook{};
    pw_node_events nodeEvents{};
    pw_client_events clientEvents{};
    pw_metadata_events metadataEvents{};
    std::string metadataName;

    ~Bound() {
        spa_hook_remove(&objectHook);
        pw_proxy_destroy(proxy);
    }

    static void onNodeInfo(void* data, const pw_node_info* info) {
        auto* self = static_cast<Bound*>(data);
        Node& node = self->graph->nodes_[self->id];
        if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) {
            node.props = toMap(info->props);
            node.clientId = toNumber(lookup(node.props, PW_KEY_CLIENT_ID));
        }
        if (info->change_mask & PW_NODE_CHANGE_MASK_PARAMS) {
            for (std::uint32_t i = 0; i < info->n_params; ++i) {
                if (info->params[i].id != SPA_PARAM_Format || info->params[i].user == 0) continue;
                info->params[i].user = 0;
                node.format.reset();
                if (info->params[i].flags & SPA_PARAM_INFO_READ)
                    pw_node_enum_params(reinterpret_cast<pw_node*>(self->proxy), 0, SPA_PARAM_Format, 0, 1,
                                        nullptr);
            }
        }
        self->graph->changed();
    }

    static void onNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod* param) {
        auto* self = static_cast<Bound*>(data);
        if (id != SPA_PARAM_Format || !param) return;
        std::uint32_t mediaType = 0;
        std::uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_audio ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_audio_info_raw raw{};
        if (spa_format_audio_raw_parse(param, &raw) < 0) return;
        self->graph->nodes_[self->id].format = RawFormat{raw.format, raw.rate, raw.channels};
        self->graph->changed();
    }

    static void onClientInfo(void* data, const pw_client_info* info) {
        auto* self = static_cast<Bound*>(data);
        if (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) self->graph->clients_[self->id] = toMap(info->props);
        self->graph->changed();
    }

    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*, const char* value) {
        auto* self = static_cast<Bound*>(data);
        PipeWireGraph& graph = *self->graph;
        if (self->metadataName == "default" && (!key || std::strcmp(key, "default.audio.sink") == 0))
            graph.defaultSinkName_ = key ? jsonName(value) : std::string();
        if (self->metadataName == "settings" && subject == PW_ID_CORE) {
            const std::uint32_t number = value ? toNumber(value) : 0;
            if (!key || std::strcmp(key, "clock.rate") == 0) graph.clockRate_ = number;
            if (!key || std::strcmp(key, "clock.force-rate") == 0) graph.forceRate_ = number;
        }
        graph.changed();
        return 0;
    }
};

PipeWireGraph::PipeWireGraph(PipeWireLoop& loop) : loop_(loop) {
    registry_ = pw_core_get_registry(loop_.core(), PW_VERSION_REGISTRY, 0);
    listener_ = std::make_unique<RegistryListener>();
    listener_->events.version = PW_VERSION_REGISTRY_EVENTS;
    listener_->events.global = &PipeWireGraph::onGlobal;
    listener_->events.global_remove = &PipeWireGraph::onGlobalRemove;
    if (registry_) pw_registry_add_listener(registry_, &listener_->hook, &listener_->events, this);
}

PipeWireGraph::~PipeWireGraph() {
    bound_.clear();
    if (registry_) {
        spa_hook_remove(&listener_->hook);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
}

bool PipeWireGraph::settle() {
    using namespace std::chrono_literals;
    return registry_ && loop_.roundtrip(2s) && loop_.roundtrip(2s) && loop_.roundtrip(2s);
}

void PipeWireGraph::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t version,
                             const spa_dict* props) {
    auto* self = static_cast<PipeWireGraph*>(data);
    const auto map = toMap(props);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const std::string mediaClass = lookup(map, PW_KEY_MEDIA_CLASS);
        if (mediaClass.find("Audio") == std::string::npos) return;
        Node& node = self->nodes_[id];
        node.id = id;
        node.props = map;
        self->bind(id, PW_TYPE_INTERFACE_Node, std::min<std::uint32_t>(version, PW_VERSION_NODE), nodeKind);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Port port;
        port.id = id;
        port.nodeId = toNumber(lookup(map, PW_KEY_NODE_ID));
        port.index = toNumber(lookup(map, PW_KEY_PORT_ID));
        port.output = lookup(map, PW_KEY_PORT_DIRECTION) == "out";
        port.monitor = lookup(map, PW_KEY_PORT_MONITOR) == "true";
        port.channel = lookup(map, PW_KEY_AUDIO_CHANNEL);
        self->ports_[id] = port;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        Link link;
        link.id = id;
        link.outputNode = toNumber(lookup(map, PW_KEY_LINK_OUTPUT_NODE));
        link.outputPort = toNumber(lookup(map, PW_KEY_LINK_OUTPUT_PORT));
        link.inputNode = toNumber(lookup(map, PW_KEY_LINK_INPUT_NODE));
        link.inputPort = toNumber(lookup(map, PW_KEY_LINK_INPUT_PORT));
        self->links_[id] = link;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        self->clients_[id] = map;
        self->bind(id, PW_TYPE_INTERFACE_Client, std::min<std::uint32_t>(version, PW_VERSION_CLIENT), clientKind);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        const std::string name = lookup(map, PW_KEY_METADATA_NAME);
        if (name != "default" && name != "settings") return;
        self->bind(id, PW_TYPE_INTERFACE_Metadata, std::min<std::uint32_t>(version, PW_VERSION_METADATA),
                   metadataKind);
        if (const auto found = self->bound_.find(id); found != self->bound_.end()) found->second->metadataName = name;
    } else {
        return;
    }
    self->changed();
}

void PipeWireGraph::bind(std::uint32_t id, const char* type, std::uint32_t version, int kind) {
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, version, 0));
    if (!proxy) return;
    auto bound = std::make_unique<Bound>();
    bound->graph = this;
    bound->id = id;
    bound->kind = kind;
    bound->proxy = proxy;
    if (kind == nodeKind) {
        bound->nodeEvents.version = PW_VERSION_NODE_EVENTS;
        bound->nodeEvents.info = &Bound::onNodeInfo;
        bound->nodeEvents.param = &Bound::onNodeParam;
        pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &bound->objectHook, &bound->nodeEvents, bound.get());
    } else if (kind == clientKind) {
        bound->clientEvents.version = PW_VERSION_CLIENT_EVENTS;
        bound->clientEvents.info = &Bound::onClientInfo;
        pw_client_add_listener(reinterpret_cast<pw_client*>(proxy), &bound->objectHook, &bound->clientEvents,
                               bound.get());
    } else {
        bound->metadataEvents.version = PW_VERSION_METADATA_EVENTS;
        bound->metadataEvents.property = &Bound::onMetadataProperty;
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &bound->objectHook,
                                 &bound->metadataEvents, bound.get());
    }
    bound_[id] = std::move(bound);
}

void PipeWireGraph::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<PipeWireGraph*>(data);
    self->bound_.erase(id);
    const bool known = self->nodes_.erase(id) + self->ports_.erase(id) + self->links_.erase(id) +
                       self->clients_.erase(id) > 0;
    if (!known) return;
    if (self->onRemoved) self->onRemoved(id);
    self->changed();
}

void PipeWireGraph::changed() {
    if (onChange) onChange();
}

const PipeWireGraph::Node* PipeWireGraph::node(std::uint32_t id) const {
    const auto found = nodes_.find(id);
    return found == nodes_.end() ? nullptr : &found->second;
}

std::optional<std::uint32_t> PipeWireGraph::nodeByName(const std::string& name) const {
    for (const auto& [id, node] : nodes_)
        if (node.name() == name) return id;
    return std::nullopt;
}

std::vector<PipeWireGraph::Port> PipeWireGraph::ports(std::uint32_t nodeId, bool output) const {
    std::vector<Port> result;
    for (const auto& [id, port] : ports_)
        if (port.nodeId == nodeId && port.output == output && !port.monitor) result.push_back(port);
    return byIndex(std::move(result));
}

std::vector<PipeWireGraph::Port> PipeWireGraph::inputChannels(std::uint32_t nodeId) const {
    const Node* device = node(nodeId);
    if (!device) return {};
    const std::string mediaClass = device->mediaClass();
    if (mediaClass.find("Duplex") != std::string::npos) return ports(nodeId, true);
    if (mediaClass.find("Source") == std::string::npos) return {};
    std::vector<Port> result;
    for (const auto& [id, port] : ports_)
        if (port.nodeId == nodeId && port.output) result.push_back(port);
    return byIndex(std::move(result));
}

std::vector<std::uint32_t> PipeWireGraph::devices() const {
    std::vector<std::uint32_t> result;
    for (const auto& [id, node] : nodes_)
        if (node.mediaClass().starts_with("Audio/")) result.push_back(id);
    return result;
}

std::vector<std::uint32_t> PipeWireGraph::applicationStreams() const {
    std::vector<std::uint32_t> result;
    for (const auto& [id, node] : nodes_)
        if (node.mediaClass() == "Stream/Output/Audio") result.push_back(id);
    return result;
}

std::string PipeWireGraph::identity(std::uint32_t id) const {
    const Node* found = node(id);
    const auto client = clients_.find(found ? found->clientId : id);
    for (const char* key : {"application.id", "pipewire.access.portal.app_id", "application.process.binary"}) {
        if (found)
            if (std::string value = lookup(found->props, key); !value.empty()) return value;
        if (client == clients_.end()) continue;
        if (std::string value = lookup(client->second, key); !value.empty()) return value;
    }
    return {};
}

double PipeWireGraph::deviceRate(std::uint32_t nodeId) const {
    if (const Node* found = node(nodeId)) {
        if (found->format && found->format->rate > 0) return found->format->rate;
        if (const std::uint32_t rate = toNumber(lookup(found->props, PW_KEY_AUDIO_RATE)); rate > 0) return rate;
    }
    if (forceRate_ > 0) return forceRate_;
    if (clockRate_ > 0) return clockRate_;
    return 48000;
}

std::optional<std::uint32_t> PipeWireGraph::defaultSink() const {
    if (defaultSinkName_.empty()) return std::nullopt;
    return nodeByName(defaultSinkName_);
}

std::vector<std::uint32_t> PipeWireGraph::playsInto(std::uint32_t streamId) const {
    std::vector<std::uint32_t> devices;
    for (const auto& [id, link] : links_) {
        const Node* target = node(link.inputNode);
        if (link.outputNode == streamId && target && target->mediaClass().starts_with("Audio/") &&
            std::find(devices.begin(), devices.end(), link.inputNode) == devices.end())
            devices.push_back(link.inputNode);
    }
    return devices;
}

bool readCurrentGraph(const std::function<void(const PipeWireGraph&)>& read) {
    int error = 0;
    const auto loop = PipeWireLoop::connect("quorvel.devices", error);
    if (!loop) return false;
    PipeWireLoop::Lock lock(*loop);
    PipeWireGraph graph(*loop);
    if (!graph.settle()) return false;
    read(graph);
    return true;
}

}  // namespace quorvel
