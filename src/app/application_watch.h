#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace quorvel::app {

// Application launches and quits, derived from the audio server's registry: the first
// object (client or stream) carrying an application identity means that application
// launched, the removal of the last one means it quit. The registry feed calls
// objectAdded/objectRemoved on the main queue; subscribers hear about it at once.
class ApplicationWatch {
public:
    using Handler = std::function<void(const std::string& identity)>;

    // Replaces the handlers. Only changes from now on are reported.
    void subscribe(Handler launched, Handler quit);

    // An object with registry `id` appeared; objects without an identity are ignored.
    // Announcing a known id again replaces what it stood for.
    void objectAdded(std::uint32_t id, const std::optional<std::string>& identity);
    void objectRemoved(std::uint32_t id);

private:
    std::map<std::uint32_t, std::string> identities_;  // registry id -> identity
    std::map<std::string, int> counts_;                // identity -> live objects
    Handler launched_;
    Handler quit_;
};

}  // namespace quorvel::app
