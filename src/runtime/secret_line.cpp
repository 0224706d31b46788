#include "runtime/secret_line.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace quorvel {

namespace {

// Turns terminal echo off for its lifetime.
class NoEcho {
public:
    NoEcho() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

std::optional<std::string> readSecretLine(const std::string& prompt) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    std::optional<NoEcho> noEcho;
    if (terminal) {
        std::cerr << prompt << std::flush;
        noEcho.emplace();
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) std::cerr << '\n';
    if (!got && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace quorvel
