#pragma once

#include <QLocalServer>

#include <functional>

namespace quorvel::tray {

// One tray per user: the first quorvel listens on a local socket of its user; a later
// one asks it to show its menu instead of making a second icon.
class SingleInstance final : public QObject {
public:
    enum class Claim { ours, askedRunning };

    // `show` runs (GUI thread) for every later quorvel that asks.
    explicit SingleInstance(std::function<void()> show);

    // Ours, unless another quorvel of this user runs: then it was asked to show its
    // menu. A socket left behind by a crash is replaced. Should even listening fail,
    // the tray still runs, alone.
    Claim claim();

    // The socket's name: in the user's runtime directory, else one per user in /tmp.
    static QString socketName();

private:
    static bool askRunningToShow();
    void accept();

    std::function<void()> show_;
    QLocalServer server_;
};

}  // namespace quorvel::tray
