#include "net/clock_offset.h"

#include <chrono>

namespace quorvel::net {

void ClockOffset::addPong(double t, double s, double now) {
    const double rtt = now - t;
    if (!(rtt >= 0 && rtt < 10000)) return;
    samples_.emplace_back(rtt, s - (t + 0.5 * rtt));
    if (samples_.size() >= 16) samples_.pop_front();
    const auto* best = &samples_.front();
    for (const auto& sample : samples_)
        if (sample.first < best->first) best = &sample;
    offset_ = best->second;
}

double localNowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

}  // namespace quorvel::net
