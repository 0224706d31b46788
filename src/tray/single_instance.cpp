#include "tray/single_instance.h"

#include <QLocalSocket>

#include <unistd.h>

namespace quorvel::tray {

namespace {

constexpr char showRequest[] = "show\n";
constexpr int answerWithinMs = 2000;

}  // namespace

SingleInstance::SingleInstance(std::function<void()> show) : show_(std::move(show)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

QString SingleInstance::socketName() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) return QString::fromLocal8Bit(runtime) + QStringLiteral("/quorvel.sock");
    return QStringLiteral("/tmp/quorvel-%1.sock").arg(::getuid());
}

SingleInstance::Claim SingleInstance::claim() {
    const QString name = socketName();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (askRunningToShow()) return Claim::askedRunning;
        if (server_.listen(name)) return Claim::ours;
        // Nobody answered on it: left behind by a crash (or a race with a quorvel
        // starting at the same moment, which the next asking settles).
        QLocalServer::removeServer(name);
    }
    return Claim::ours;
}

bool SingleInstance::askRunningToShow() {
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(answerWithinMs)) return false;
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(answerWithinMs)) return false;
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine())
                if (socket->readLine() == showRequest) show_();
        });
    }
}

}  // namespace quorvel::tray
