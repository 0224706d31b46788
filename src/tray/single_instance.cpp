#include "tray/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::tray {

namespace {

constexpr char showRequest[] = "show";
constexpr int answerWithinMs = 2000;
const QByteArray tokenVariable = QByteArrayLiteral("XDG_ACTIVATION_TOKEN");

// A directory that is this user's alone: not a link, owned by us, no access for others.
bool privateDirectory(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

bool sameUser(qintptr descriptor) {
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::getuid();
}

void drop(QLocalSocket* socket) {
    socket->abort();
    socket->deleteLater();
}

// A token travels as one word of printable ASCII; anything else is dropped.
QByteArray cleanToken(const QByteArray& token) {
    if (token.size() > SingleInstance::maxRequest / 2) return {};
    for (char c : token)
        if (c <= ' ' || c > '~') return {};
    return token;
}

}  // namespace

SingleInstance::SingleInstance(std::function<void(const QString&)> show) : show_(std::move(show)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.setMaxPendingConnections(maxConnections);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (lock_ >= 0) ::close(lock_);
}

std::optional<QString> SingleInstance::directory(std::string& problem) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && privateDirectory(runtime)) return runtime;
    const QString own = QDir::tempPath() + QStringLiteral("/quorvel-%1").arg(::getuid());
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    if (privateDirectory(own)) return own;
    problem = "quorvel: " + own.toStdString() +
              " is not a directory of this user's alone, so this tray cannot tell whether another runs.";
    return std::nullopt;
}

SingleInstance::Outcome SingleInstance::claim() {
    std::string problem;
    const std::optional<QString> dir = directory(problem);
    if (!dir) return {Claim::alone, problem};
    const QString name = *dir + QStringLiteral("/quorvel.sock");
    const QByteArray lockPath = QFile::encodeName(*dir + QStringLiteral("/quorvel.lock"));
    lock_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_ < 0) return {Claim::alone, "quorvel: cannot open " + lockPath.toStdString() + "."};
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        // A live tray holds the lock: its socket is never touched, whether it answers or not.
        ::close(lock_);
        lock_ = -1;
        return {Claim::askedRunning, askRunningToShow(name)};
    }
    // No tray holds the lock, so a socket there was left behind by a crash.
    QLocalServer::removeServer(name);
    if (!server_.listen(name))
        return {Claim::alone, "quorvel: cannot listen on " + name.toStdString() + ": " +
                                  server_.errorString().toStdString()};
    return {Claim::ours, {}};
}

// Empty when asked; otherwise why the running tray could not be asked.
std::string SingleInstance::askRunningToShow(const QString& name) {
    QLocalSocket socket;
    // The running one may have taken the lock a moment ago and not listen yet.
    for (int attempt = 0; attempt < 20 && socket.state() != QLocalSocket::ConnectedState; ++attempt) {
        socket.connectToServer(name);
        if (socket.waitForConnected(answerWithinMs / 20)) break;
        socket.abort();
        QThread::msleep(answerWithinMs / 20);
    }
    if (socket.state() != QLocalSocket::ConnectedState || !sameUser(socket.socketDescriptor()))
        return "quorvel: already running, but it did not answer.";
    socket.write(QByteArray(showRequest) + ' ' + cleanToken(qgetenv(tokenVariable)) + '\n');
    if (!socket.waitForBytesWritten(answerWithinMs)) return "quorvel: already running, but it did not answer.";
    socket.disconnectFromServer();
    return {};
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (!sameUser(socket->socketDescriptor())) {
            drop(socket);
            continue;
        }
        if (connections_.size() >= maxConnections) {
            QLocalSocket* oldest = connections_.front();
            connections_.pop_front();
            drop(oldest);
        }
        connections_.push_back(socket);
        socket->setReadBufferSize(maxRequest);
        connect(socket, &QObject::destroyed, this, [this, socket] { std::erase(connections_, socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        // A peer that says nothing is not kept waiting on.
        QTimer::singleShot(answerWithinMs, socket, [socket] { drop(socket); });
    }
}

void SingleInstance::read(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= maxRequest) drop(socket);
        return;
    }
    const QByteArray line = socket->readLine(maxRequest).trimmed();
    drop(socket);
    const QList<QByteArray> words = line.split(' ');
    if (words.size() > 2 || words[0] != showRequest) return;
    show_(QString::fromLatin1(words.size() == 2 ? cleanToken(words[1]) : QByteArray()));
}

}  // namespace quorvel::tray
