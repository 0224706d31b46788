#include "app/adapters/pipewire_application_feed.h"

#include <vector>

#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

namespace quorvel::app {

PipeWireApplicationFeed::PipeWireApplicationFeed(Executor& mainQueue, ApplicationWatch& watch)
    : mainQueue_(mainQueue), target_(std::make_shared<Target>(Target{&watch})) {}

std::unique_ptr<PipeWireApplicationFeed> PipeWireApplicationFeed::start(ApplicationWatch& watch,
                                                                       Executor& mainQueue) {
    int error = 0;
    auto loop = PipeWireLoop::connect("quorvel.watch", error);
    if (!loop) return nullptr;
    std::unique_ptr<PipeWireApplicationFeed> feed(new PipeWireApplicationFeed(mainQueue, watch));
    feed->loop_ = std::move(loop);
    PipeWireLoop::Lock lock(*feed->loop_);
    feed->graph_ = std::make_unique<PipeWireGraph>(*feed->loop_);
    if (!feed->graph_->settle()) {
        feed->graph_.reset();
        return nullptr;
    }
    feed->update([&watch](const Report& report) { report(watch); });
    auto* self = feed.get();
    feed->graph_->onChange = [self] {
        self->update([self](Report report) {
            self->mainQueue_.post([target = self->target_, report = std::move(report)] {
                if (target->watch) report(*target->watch);
            });
        });
    };
    return feed;
}

PipeWireApplicationFeed::~PipeWireApplicationFeed() {
    target_->watch = nullptr;
    if (!loop_) return;
    {
        PipeWireLoop::Lock lock(*loop_);
        graph_.reset();
    }
    loop_.reset();
}

void PipeWireApplicationFeed::update(const std::function<void(Report)>& deliver) {
    std::vector<std::uint32_t> gone;
    for (const auto& [id, identity] : announced_)
        if (!graph_->node(id) && !graph_->clients().contains(id)) gone.push_back(id);
    for (const std::uint32_t id : gone) {
        announced_.erase(id);
        deliver([id](ApplicationWatch& watch) { watch.objectRemoved(id); });
    }
    // Registry ids are unique across object types.
    const auto announce = [&](std::uint32_t id) {
        std::string identity = graph_->identity(id);
        if (identity.empty()) return;
        const auto known = announced_.find(id);
        if (known != announced_.end() && known->second == identity) return;
        announced_[id] = identity;
        deliver([id, identity](ApplicationWatch& watch) { watch.objectAdded(id, identity); });
    };
    for (const auto& [id, node] : graph_->nodes()) announce(id);
    for (const auto& [id, client] : graph_->clients()) announce(id);
}

}  // namespace quorvel::app
