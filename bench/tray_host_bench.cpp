// A tray host's clicks on the running tray, timed from the host's side (run by
// bench/tray_desktop_bench.sh on sway): Activate until sway reports the panel's window
// focused, and closed again by a second Activate; AboutToShow on the menu until its
// layout is read back, as a host does before drawing the menu.
//
//   tray_host_bench SERVICE ITEM_PATH MENU_PATH TRAY_PID [clicks]     (default 100)
#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// sway's IPC: "i3-ipc", the payload's length and the message type, then the payload.
constexpr char magic[] = "i3-ipc";
constexpr quint32 subscribe = 2;

void send(QLocalSocket& sway, quint32 type, const QByteArray& payload) {
    QByteArray message(magic);
    quint32 header[2] = {qToLittleEndian(static_cast<quint32>(payload.size())), qToLittleEndian(type)};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    sway.write(message + payload);
    sway.waitForBytesWritten(1000);
}

QByteArray readExactly(QLocalSocket& sway, qint64 size) {
    QByteArray data;
    while (data.size() < size) {
        if (sway.bytesAvailable() == 0 && !sway.waitForReadyRead(10000)) std::exit(1);
        data += sway.read(size - data.size());
    }
    return data;
}

QJsonObject nextMessage(QLocalSocket& sway) {
    const QByteArray header = readExactly(sway, 14);
    const quint32 length = qFromLittleEndian<quint32>(header.constData() + 6);
    return QJsonDocument::fromJson(readExactly(sway, length)).object();
}

// Reads window events until the tray's window has had `change`.
void awaitWindow(QLocalSocket& sway, qint64 pid, const QString& change) {
    for (;;) {
        const QJsonObject event = nextMessage(sway);
        if (event.value(QStringLiteral("change")).toString() == change &&
            event.value(QStringLiteral("container")).toObject().value(QStringLiteral("pid")).toInteger() == pid)
            return;
    }
}

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    std::printf("%s: p50 %.1f ms, p99 %.1f ms (%zu clicks)\n", what, at(0.5), at(0.99), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: tray_host_bench SERVICE ITEM_PATH MENU_PATH TRAY_PID [clicks]\n");
        return 2;
    }
    const QString service = QString::fromLocal8Bit(argv[1]);
    const qint64 pid = std::atoll(argv[4]);
    const int clicks = argc > 5 ? std::atoi(argv[5]) : 100;
    QDBusInterface item(service, QString::fromLocal8Bit(argv[2]), QStringLiteral("org.kde.StatusNotifierItem"));
    QDBusInterface menu(service, QString::fromLocal8Bit(argv[3]), QStringLiteral("com.canonical.dbusmenu"));
    QLocalSocket sway;
    sway.connectToServer(qEnvironmentVariable("SWAYSOCK"));
    if (!sway.waitForConnected(1000)) {
        std::fprintf(stderr, "tray_host_bench: no sway IPC at SWAYSOCK\n");
        return 1;
    }
    send(sway, subscribe, QByteArrayLiteral("[\"window\"]"));
    nextMessage(sway);

    std::vector<double> opens;
    std::vector<double> layouts;
    QElapsedTimer clock;
    for (int i = 0; i < clicks; ++i) {
        clock.start();
        item.asyncCall(QStringLiteral("Activate"), 0, 0);
        awaitWindow(sway, pid, QStringLiteral("focus"));
        opens.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        item.asyncCall(QStringLiteral("Activate"), 0, 0);
        awaitWindow(sway, pid, QStringLiteral("close"));

        clock.start();
        menu.call(QStringLiteral("AboutToShow"), 0);
        const QDBusMessage layout = menu.call(QStringLiteral("GetLayout"), 0, -1, QStringList());
        layouts.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (layout.type() != QDBusMessage::ReplyMessage) {
            std::fprintf(stderr, "tray_host_bench: GetLayout failed: %s\n", qPrintable(layout.errorMessage()));
            return 1;
        }
    }
    report("Activate to the panel on screen with the keyboard", opens);
    report("AboutToShow to the layout read back", layouts);
    return 0;
}
