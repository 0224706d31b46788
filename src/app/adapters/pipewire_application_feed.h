#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "app/application_watch.h"
#include "runtime/executor.h"

namespace quorvel {
class PipeWireLoop;
class PipeWireGraph;
}  // namespace quorvel

namespace quorvel::app {

// Feeds an ApplicationWatch from the PipeWire registry: every client and every node
// whose application identity (a node's own, else its client's) is known counts as an
// object of that application, so an application that is connected but plays nothing
// still runs. Created and destroyed on the main queue, where the watch hears of it.
class PipeWireApplicationFeed {
public:
    // Reads the registry as it stands (announced at once, before any subscriber could
    // take it for a launch), then reports changes. Nothing when no PipeWire server answers.
    static std::unique_ptr<PipeWireApplicationFeed> start(ApplicationWatch& watch, Executor& mainQueue);
    ~PipeWireApplicationFeed();
    PipeWireApplicationFeed(const PipeWireApplicationFeed&) = delete;
    PipeWireApplicationFeed& operator=(const PipeWireApplicationFeed&) = delete;

private:
    // What posted reports reach: the watch while the feed exists (main queue only).
    struct Target {
        ApplicationWatch* watch = nullptr;
    };
    using Report = std::function<void(ApplicationWatch&)>;

    PipeWireApplicationFeed(Executor& mainQueue, ApplicationWatch& watch);
    // Loop thread: compares the graph with what was announced and reports the difference.
    void update(const std::function<void(Report)>& deliver);

    Executor& mainQueue_;
    std::shared_ptr<Target> target_;
    std::unique_ptr<PipeWireLoop> loop_;
    std::unique_ptr<PipeWireGraph> graph_;
    std::map<std::uint32_t, std::string> announced_;  // loop thread (or under its lock)
};

}  // namespace quorvel::app
