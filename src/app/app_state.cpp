#include "app/app_state.h"

#include <algorithm>

namespace quorvel::app {

const StreamLink* AppState::link(const std::string& id) const {
    auto it = std::find_if(links.begin(), links.end(), [&](const StreamLink& l) { return l.id == id; });
    return it == links.end() ? nullptr : &*it;
}

const StreamLink* AppState::selectedLink() const {
    return selectedSessionId ? link(*selectedSessionId) : nullptr;
}

}  // namespace quorvel::app
