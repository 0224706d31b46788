#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "relay/clock.h"

namespace quorvel::relay {

// One connection's deadline: when it passes, its action runs once (on the next sweep)
// and the deadline is cleared. Touch it only on the server's thread.
class Deadline {
public:
    explicit Deadline(std::function<void()> onExpire) : onExpire_(std::move(onExpire)) {}
    void expireAt(Clock::TimePoint at) { at_ = at; }
    void clear() { at_.reset(); }

private:
    friend class Deadlines;
    std::optional<Clock::TimePoint> at_;
    std::function<void()> onExpire_;
};

// Every live deadline of the server, checked by sweep(), which the server runs a few
// times a second against its Clock. A deadline counts while someone holds it.
class Deadlines {
public:
    std::shared_ptr<Deadline> make(std::function<void()> onExpire);
    void sweep(Clock::TimePoint now);

private:
    std::vector<std::weak_ptr<Deadline>> entries_;
};

}  // namespace quorvel::relay
