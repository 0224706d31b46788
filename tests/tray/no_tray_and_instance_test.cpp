// Without a tray host the menu lives in a window; one tray per user.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include <QLocalSocket>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "support/temp_dir.h"
#include "tray/menu_window.h"
#include "tray/single_instance.h"
#include "tray_test_support.h"

namespace quorvel::tray::test {
namespace {

QAction* find(const QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions())
        if (action->text() == title) return action;
    return nullptr;
}

TEST(MenuWindow, HoldsTheMenuOpenThroughChoicesAndGivesItBackToTheIcon) {
    RenderedApp rendered;
    auto& h = rendered.harness;
    h.launchPairedWithLink();
    h.queue.runPending();
    QMenu& menu = rendered.menu->menu();
    MenuWindow window(*rendered.menu);

    const std::size_t lists = h.account.lists.size();
    window.embed();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(menu.parentWidget(), &window);
    EXPECT_FALSE(menu.isWindow());
    EXPECT_TRUE(menu.isVisible());
    EXPECT_EQ(h.account.lists.size(), lists + 1) << "showing it counts as opening the menu";
    EXPECT_EQ(window.findChild<QLabel*>()->text(), QString::fromUtf8(MenuWindow::noTrayText));

    QAction* start = find(menu, QStringLiteral("Start Stream"));
    QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(start).center());
    h.queue.runPending();
    EXPECT_EQ(h.state().mode, app::Mode::air);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }, 1000));

    window.release();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(menu.isWindow());
    EXPECT_EQ(menu.windowFlags() & Qt::WindowType_Mask, Qt::Popup);
    EXPECT_FALSE(menu.isVisible());
}

// A second quorvel asks the first to show its menu, passing on its activation token;
// a socket left by a crash is taken over.
TEST(SingleInstance, TheSecondAsksTheFirstToShowItsMenuAndAStaleSocketIsReplaced) {
    quorvel::test::TempDir runtime;
    std::filesystem::permissions(runtime.path(), std::filesystem::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path().string()));
    std::ofstream(runtime.path() / "quorvel.sock") << "left behind";

    std::vector<QString> shown;
    SingleInstance first([&](const QString& token) { shown.push_back(token); });
    EXPECT_EQ(first.claim().claim, SingleInstance::Claim::ours);
    SingleInstance second([](const QString&) { ADD_FAILURE() << "the second one was asked"; });
    qputenv("XDG_ACTIVATION_TOKEN", "token-1");
    EXPECT_EQ(second.claim().claim, SingleInstance::Claim::askedRunning);
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 1; }, 5000));
    EXPECT_EQ(shown, std::vector<QString>{QStringLiteral("token-1")});
    qunsetenv("XDG_RUNTIME_DIR");
}

// The socket lives only where no one else can reach it; a live tray's socket is never
// replaced, however its user's own programs treat it.
TEST(SingleInstance, LivesInAPrivateDirectoryAndALiveOneIsNeverReplaced) {
    quorvel::test::TempDir temp;
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QByteArray::fromStdString(temp.path().string()));
    const auto own = temp.path() / ("quorvel-" + std::to_string(::getuid()));
    std::filesystem::create_directory(own);
    std::filesystem::permissions(own, std::filesystem::perms::owner_all | std::filesystem::perms::others_all);
    {
        SingleInstance open([](const QString&) {});
        const SingleInstance::Outcome outcome = open.claim();
        EXPECT_EQ(outcome.claim, SingleInstance::Claim::alone);
        EXPECT_NE(outcome.problem.find("is not a directory of this user's alone"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(own / "quorvel.sock"));
    }
    std::filesystem::remove(own);

    int shown = 0;
    SingleInstance first([&](const QString&) { ++shown; });
    ASSERT_EQ(first.claim().claim, SingleInstance::Claim::ours);
    EXPECT_EQ(std::filesystem::status(own).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    const QString name = QString::fromStdString((own / "quorvel.sock").string());

    // A line without an end is cut off at the bound.
    QLocalSocket endless;
    endless.connectToServer(name);
    ASSERT_TRUE(endless.waitForConnected(2000));
    endless.write(QByteArray(SingleInstance::maxRequest * 8, 'x'));
    EXPECT_TRUE(QTest::qWaitFor([&] { return endless.state() == QLocalSocket::UnconnectedState; }, 5000));

    // Of held connections only the newest few stay open; a second quorvel still gets
    // through, and asks rather than replacing the socket.
    std::vector<std::unique_ptr<QLocalSocket>> held;
    for (int i = 0; i < 4 * SingleInstance::maxConnections; ++i) {
        held.push_back(std::make_unique<QLocalSocket>());
        held.back()->connectToServer(name);
    }
    const auto stillOpen = [&] {
        return std::count_if(held.begin(), held.end(),
                             [](const auto& s) { return s->state() == QLocalSocket::ConnectedState; });
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return stillOpen() == SingleInstance::maxConnections; }, 5000)) << stillOpen();
    SingleInstance second([](const QString&) { ADD_FAILURE() << "the second one was asked"; });
    EXPECT_EQ(second.claim().claim, SingleInstance::Claim::askedRunning);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown == 1; }, 5000));
    EXPECT_TRUE(std::filesystem::exists(own / "quorvel.sock"));
    qunsetenv("TMPDIR");
}

}  // namespace
}  // namespace quorvel::tray::test
