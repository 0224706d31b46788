#pragma once

#include <memory>
#include <utility>

namespace quorvel {

// Wraps a callback that may arrive after its owner is gone (a completion, a timer, a
// task posted to a queue): it runs only while `owner` lives, and keeps the owner alive
// while it runs, so `call` may use the owner through a plain `this`. An owner not held
// by a shared_ptr keeps a `std::shared_ptr<int>` member for this and passes that.
template <class Owner, class Call>
auto ifAlive(std::weak_ptr<Owner> owner, Call call) {
    return [owner = std::move(owner), call = std::move(call)](auto&&... args) mutable {
        if (const auto alive = owner.lock()) call(std::forward<decltype(args)>(args)...);
    };
}

template <class Owner, class Call>
auto ifAlive(const std::shared_ptr<Owner>& owner, Call call) {
    return ifAlive(std::weak_ptr<Owner>(owner), std::move(call));
}

}  // namespace quorvel
