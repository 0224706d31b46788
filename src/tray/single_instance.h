#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace quorvel::tray {

// One tray per user: the first quorvel holds a lock and listens on a local socket in
// a directory only its user can enter; a later one asks it to show its menu (passing
// on the activation token its launcher gave it) instead of making a second icon.
// Whoever connects must be the same user and sends one short line; of the connections
// only the newest few are kept, so idle ones can neither exhaust descriptors nor keep
// an asking quorvel out. A socket is replaced only when no quorvel holds the lock.
class SingleInstance final : public QObject {
public:
    enum class Claim {
        ours,          // this process is the tray
        askedRunning,  // another tray of this user runs and was asked to show its menu
        alone,         // no safe place for the socket: this tray runs unannounced
    };
    struct Outcome {
        Claim claim;
        std::string problem;  // why it runs alone, or why the running one did not answer
    };

    static constexpr int maxConnections = 8;
    static constexpr qint64 maxRequest = 512;

    // `show` runs (GUI thread) for every later quorvel that asks, with its activation
    // token (empty when it had none).
    explicit SingleInstance(std::function<void(const QString& activationToken)> show);
    ~SingleInstance() override;

    Outcome claim();

    // The private directory: the runtime directory when it is this user's alone, else
    // one of the user's own in the temporary directory, made with mode 0700 and
    // checked. Absent, with `problem` set, when neither can be had safely.
    static std::optional<QString> directory(std::string& problem);

private:
    static std::string askRunningToShow(const QString& name);
    void accept();
    void read(QLocalSocket* socket);

    std::function<void(const QString&)> show_;
    std::deque<QLocalSocket*> connections_;  // oldest first
    int lock_ = -1;
    QLocalServer server_;  // last: its connections go before the list of them
};

}  // namespace quorvel::tray
