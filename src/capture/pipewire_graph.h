#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>


struct pw_registry;
struct spa_dict;

namespace quorvel {

class PipeWireLoop;

// What the PipeWire registry says about the audio graph: device and stream nodes with
// their properties and current formats, ports, links, clients and the default and
// settings metadata, asked through typed queries. A device's persistent UID is its
// node.name; a node present in the graph is alive.
//
// Ids are the PipeWire global ids (never 0, which every query uses for "none").
// Lives on its loop: created, used and destroyed under PipeWireLoop::Lock, its callbacks
// run on the loop thread.
class PipeWireGraph {
public:
    struct RawFormat {
        std::uint32_t format = 0;  // enum spa_audio_format
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
    };
    struct Node {
        std::uint32_t id = 0;
        std::uint32_t clientId = 0;
        std::map<std::string, std::string> props;
        std::optional<RawFormat> format;
        std::string mediaClass() const;
        std::string name() const;  // node.name
        // node.description, else node.nick, else node.name.
        std::string description() const;
    };
    struct Port {
        std::uint32_t id = 0;
        std::uint32_t nodeId = 0;
        std::uint32_t index = 0;  // port.id within its node
        bool output = false;
        bool monitor = false;
        std::string channel;  // audio.channel
    };
    struct Link {
        std::uint32_t id = 0;
        std::uint32_t outputNode = 0;
        std::uint32_t outputPort = 0;
        std::uint32_t inputNode = 0;
        std::uint32_t inputPort = 0;
    };

    explicit PipeWireGraph(PipeWireLoop& loop);
    ~PipeWireGraph();
    PipeWireGraph(const PipeWireGraph&) = delete;
    PipeWireGraph& operator=(const PipeWireGraph&) = delete;

    // Waits until the registry and every bound object have reported: one round trip for
    // the globals, one for the info of the objects bound on their arrival, one for the
    // formats that info asked for.
    bool settle();

    const Node* node(std::uint32_t id) const;
    const std::map<std::uint32_t, Node>& nodes() const { return nodes_; }
    std::optional<std::uint32_t> nodeByName(const std::string& name) const;
    // The node's ports in one direction, monitor ports left out, by port index.
    std::vector<Port> ports(std::uint32_t nodeId, bool output) const;
    // The output ports that carry a device's input channels, by port index: all of a
    // source's (a virtual source's are flagged as monitors), none of a sink's.
    std::vector<Port> inputChannels(std::uint32_t nodeId) const;
    const std::map<std::uint32_t, Link>& links() const { return links_; }
    // Audio/... nodes, by id.
    std::vector<std::uint32_t> devices() const;
    // Stream/Output/Audio nodes: the applications that play, by id.
    std::vector<std::uint32_t> applicationStreams() const;
    // The devices an application stream plays into, in link order, each once.
    std::vector<std::uint32_t> playsInto(std::uint32_t streamId) const;
    // Clients (connections to the server) with their properties, by id.
    const std::map<std::uint32_t, std::map<std::string, std::string>>& clients() const { return clients_; }
    // application.id, else pipewire.access.portal.app_id, else application.process.binary,
    // of a node (from the node and then its client) or of a client; empty when there is none.
    std::string identity(std::uint32_t id) const;
    // The rate a device runs at: its negotiated format, else its audio.rate, else the
    // graph's (forced, else configured, else 48000).
    double deviceRate(std::uint32_t nodeId) const;
    std::optional<std::uint32_t> defaultSink() const;

    // Loop thread: after any change, and when a global goes away.
    std::function<void()> onChange;
    std::function<void(std::uint32_t id)> onRemoved;

private:
    struct Bound;
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    void bind(std::uint32_t id, const char* type, std::uint32_t version, int kind);
    void changed();

    PipeWireLoop& loop_;
    pw_registry* registry_ = nullptr;
    struct RegistryListener;
    std::unique_ptr<RegistryListener> listener_;
    std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;
    std::map<std::uint32_t, Node> nodes_;
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, Link> links_;
    std::map<std::uint32_t, std::map<std::string, std::string>> clients_;
    std::string defaultSinkName_;
    std::uint32_t clockRate_ = 0;
    std::uint32_t forceRate_ = 0;
};

// Runs `read` on the running server's graph as it stands now, on a connection of its own;
// false, without running it, when no PipeWire server answers.
bool readCurrentGraph(const std::function<void(const PipeWireGraph&)>& read);

}  // namespace quorvel
