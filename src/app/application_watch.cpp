#include "app/application_watch.h"

namespace quorvel::app {

void ApplicationWatch::subscribe(Handler launched, Handler quit) {
    launched_ = std::move(launched);
    quit_ = std::move(quit);
}

void ApplicationWatch::objectAdded(std::uint32_t id, const std::optional<std::string>& identity) {
    if (identities_.contains(id)) objectRemoved(id);
    if (!identity || identity->empty()) return;
    identities_.emplace(id, *identity);
    if (++counts_[*identity] == 1 && launched_) launched_(*identity);
}

void ApplicationWatch::objectRemoved(std::uint32_t id) {
    auto it = identities_.find(id);
    if (it == identities_.end()) return;
    const std::string identity = std::move(it->second);
    identities_.erase(it);
    if (--counts_[identity] > 0) return;
    counts_.erase(identity);
    if (quit_) quit_(identity);
}

}  // namespace quorvel::app
