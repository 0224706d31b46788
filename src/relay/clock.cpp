#include "relay/clock.h"

namespace quorvel::relay {

double wallClockMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

}  // namespace quorvel::relay
