// link_shaper: a network link between two network namespaces whose faults a test
// controls. The kernel of our machines has no netem and no tc classifiers, so the link is
// made in user space: one TUN device in each namespace, and this process forwarding IP
// packets between them after a delay (with jitter), no faster than a bandwidth cap,
// dropping a share of them, or dropping all of them (a partition).
//
//   link_shaper NS_A DEV_A NS_B DEV_B CONTROL_FIFO
//
// Creates DEV_A in /var/run/netns/NS_A and DEV_B in NS_B (they vanish when it exits),
// prints "ready" once both exist, then reads commands, one a line, from CONTROL_FIFO:
//   delay MS [JITTER_MS]   every packet waits MS ± JITTER_MS (uniform); order is kept
//   loss PERCENT           drops that share of the packets, each direction
//   rate KBITS [QUEUE_MS]  at most KBITS kb/s from NS_A to NS_B (a thin line down to
//                          NS_B); a packet that would wait more than QUEUE_MS (default
//                          200) for the line is dropped, as a router's full queue drops
//                          it; "rate 0" lifts the cap
//   blackhole on|off       drops everything, also what is still on its way
//   clear                  no delay, no loss, no cap, no blackhole
// Logs each command and, on SIGTERM or SIGINT, the packet counts to standard error.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStop(int) {
    stopRequested = 1;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "link_shaper: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Enters the named network namespace and opens a TUN device there.
int openTunIn(const std::string& ns, const std::string& device) {
    const std::string path = "/var/run/netns/" + ns;
    const int nsFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) die("cannot open " + path);
    if (::setns(nsFd, CLONE_NEWNET) != 0) die("cannot enter " + path);
    ::close(nsFd);
    const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) die("cannot open /dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (device.size() >= sizeof request.ifr_name) die("device name too long: " + device);
    std::memcpy(request.ifr_name, device.c_str(), device.size());
    if (::ioctl(fd, TUNSETIFF, &request) != 0) die("cannot create " + device + " in " + ns);
    return fd;
}

struct Packet {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
};

// One direction of the link: packets read from `from`, written to `to` when due.
struct Direction {
    int from;
    int to;
    std::deque<Packet> inFlight;
    Clock::time_point lineFreeAt{};  // when the capped line has sent what it took
    std::uint64_t forwarded = 0;
    std::uint64_t dropped = 0;
};

struct Faults {
    double delayMs = 0;
    double jitterMs = 0;
    double lossPercent = 0;
    double rateKbps = 0;  // 0: no cap
    double queueMs = 200;
    bool blackhole = false;
};

// More packets than this on the way in one direction are dropped (a full router queue).
constexpr std::size_t kMaxInFlight = 8192;

class Shaper {
public:
    Shaper(int tunA, int tunB, int control) : control_(control), directions_{{{tunA, tunB, {}}, {tunB, tunA, {}}}} {}

    void run() {
        while (stopRequested == 0) {
            std::array<pollfd, 3> fds{{{directions_[0].from, POLLIN, 0}, {directions_[1].from, POLLIN, 0}, {control_, POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), timeoutMs()) < 0) {
                if (errno == EINTR) continue;
                die("poll");
            }
            for (std::size_t i = 0; i < directions_.size(); ++i)
                if (fds[i].revents & POLLIN) readPackets(directions_[i]);
            if (fds[2].revents & POLLIN) readCommands();
            for (auto& direction : directions_) deliverDue(direction);
        }
        std::fprintf(stderr, "link_shaper: A->B forwarded %llu dropped %llu; B->A forwarded %llu dropped %llu\n",
                     static_cast<unsigned long long>(directions_[0].forwarded),
                     static_cast<unsigned long long>(directions_[0].dropped),
                     static_cast<unsigned long long>(directions_[1].forwarded),
                     static_cast<unsigned long long>(directions_[1].dropped));
    }

private:
    int timeoutMs() const {
        auto next = Clock::time_point::max();
        for (const auto& direction : directions_)
            if (!direction.inFlight.empty()) next = std::min(next, direction.inFlight.front().due);
        if (next == Clock::time_point::max()) return 1000;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
    }

    void readPackets(Direction& direction) {
        std::array<std::uint8_t, 65536> buffer;
        for (;;) {
            const ssize_t size = ::read(direction.from, buffer.data(), buffer.size());
            if (size <= 0) return;
            if (faults_.blackhole || lost() || direction.inFlight.size() >= kMaxInFlight) {
                ++direction.dropped;
                continue;
            }
            auto sent = Clock::now();
            if (faults_.rateKbps > 0 && &direction == &directions_[0]) {
                const auto start = std::max(sent, direction.lineFreeAt);
                if (Millis(start - sent).count() > faults_.queueMs) {
                    ++direction.dropped;
                    continue;
                }
                direction.lineFreeAt = start + std::chrono::duration_cast<Clock::duration>(
                                                   Millis(static_cast<double>(size) * 8 / faults_.rateKbps));
                sent = direction.lineFreeAt;
            }
            // Jitter without reordering: a packet never overtakes the one before it.
            const double waitMs = std::max(0.0, faults_.delayMs + jitter() * faults_.jitterMs);
            auto due = sent + std::chrono::duration_cast<Clock::duration>(Millis(waitMs));
            if (!direction.inFlight.empty()) due = std::max(due, direction.inFlight.back().due);
            direction.inFlight.push_back({due, {buffer.begin(), buffer.begin() + size}});
        }
    }

    void deliverDue(Direction& direction) {
        const auto now = Clock::now();
        while (!direction.inFlight.empty() && direction.inFlight.front().due <= now) {
            const auto& bytes = direction.inFlight.front().bytes;
            if (::write(direction.to, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
                ++direction.forwarded;
            else
                ++direction.dropped;
            direction.inFlight.pop_front();
        }
    }

    bool lost() { return faults_.lossPercent > 0 && std::uniform_real_distribution<double>(0, 100)(random_) < faults_.lossPercent; }
    double jitter() { return std::uniform_real_distribution<double>(-1, 1)(random_); }

    void readCommands() {
        char chunk[512];
        for (;;) {
            const ssize_t size = ::read(control_, chunk, sizeof chunk);
            if (size <= 0) break;
            pending_.append(chunk, static_cast<std::size_t>(size));
        }
        for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
            apply(pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
    }

    void apply(const std::string& line) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command;
        if (command == "delay") {
            faults_.jitterMs = 0;
            words >> faults_.delayMs >> faults_.jitterMs;
        } else if (command == "loss") {
            words >> faults_.lossPercent;
        } else if (command == "rate") {
            faults_.queueMs = 200;
            words >> faults_.rateKbps >> faults_.queueMs;
        } else if (command == "blackhole" && words >> argument && (argument == "on" || argument == "off")) {
            faults_.blackhole = argument == "on";
            if (faults_.blackhole)
                for (auto& direction : directions_) {
                    direction.dropped += direction.inFlight.size();
                    direction.inFlight.clear();
                }
        } else if (command == "clear") {
            faults_ = Faults{};
        } else {
            std::fprintf(stderr, "link_shaper: unknown command: %s\n", line.c_str());
            return;
        }
        std::fprintf(stderr, "link_shaper: delay %.1f ± %.1f ms, loss %.2f %%, rate %.0f kb/s (queue %.0f ms), blackhole %s\n",
                     faults_.delayMs, faults_.jitterMs, faults_.lossPercent, faults_.rateKbps, faults_.queueMs,
                     faults_.blackhole ? "on" : "off");
    }

    int control_;
    std::array<Direction, 2> directions_;
    Faults faults_;
    std::string pending_;
    std::mt19937_64 random_{20261208};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: link_shaper NS_A DEV_A NS_B DEV_B CONTROL_FIFO\n");
        return 2;
    }
    std::signal(SIGTERM, onStop);
    std::signal(SIGINT, onStop);
    // Opened read-write, so the FIFO never reads as ended when a writer closes it.
    const int control = ::open(argv[5], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control < 0) die(std::string("cannot open ") + argv[5]);
    const int tunA = openTunIn(argv[1], argv[2]);
    const int tunB = openTunIn(argv[3], argv[4]);
    std::printf("ready\n");
    std::fflush(stdout);
    Shaper(tunA, tunB, control).run();
    return 0;
}
