#include "net/clock_window.h"

namespace quorvel {

std::optional<double> ClockWindow::add(double pingMs, double serverMs, double nowMs) {
    const double rtt = nowMs - pingMs;
    if (!(rtt >= 0 && rtt < kMaxRoundTripMs)) return std::nullopt;  // also rejects NaN
    samples_.push_back({rtt, serverMs - (pingMs + 0.5 * rtt)});
    if (samples_.size() > kCapacity) samples_.erase(samples_.begin());

    const Sample* best = &samples_.front();
    for (const Sample& sample : samples_)
        if (sample.rtt < best->rtt) best = &sample;
    return best->offset;
}

}  // namespace quorvel
