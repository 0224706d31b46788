#include "relay/deadlines.h"

#include <algorithm>

namespace quorvel::relay {

std::shared_ptr<Deadline> Deadlines::make(std::function<void()> onExpire) {
    auto deadline = std::make_shared<Deadline>(std::move(onExpire));
    entries_.push_back(deadline);
    return deadline;
}

void Deadlines::sweep(Clock::TimePoint now) {
    std::erase_if(entries_, [](const std::weak_ptr<Deadline>& entry) { return entry.expired(); });
    // Collect first: an expiry action may create or drop deadlines.
    std::vector<std::shared_ptr<Deadline>> due;
    for (const auto& entry : entries_)
        if (auto deadline = entry.lock(); deadline && deadline->at_ && *deadline->at_ <= now) due.push_back(deadline);
    for (const auto& deadline : due) {
        if (!deadline->at_ || *deadline->at_ > now) continue;
        deadline->at_.reset();
        if (deadline->onExpire_) deadline->onExpire_();
    }
}

}  // namespace quorvel::relay
