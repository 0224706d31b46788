// Without a tray host the menu lives in a window; one tray per user.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include <fstream>

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

// A second quorvel asks the first to show its menu; a socket left by a crash is taken over.
TEST(SingleInstance, TheSecondAsksTheFirstToShowItsMenuAndAStaleSocketIsReplaced) {
    quorvel::test::TempDir runtime;
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path().string()));
    std::ofstream(SingleInstance::socketName().toStdString()) << "left behind";

    int shown = 0;
    SingleInstance first([&] { ++shown; });
    EXPECT_EQ(first.claim(), SingleInstance::Claim::ours);
    SingleInstance second([] { ADD_FAILURE() << "the second one was asked"; });
    EXPECT_EQ(second.claim(), SingleInstance::Claim::askedRunning);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown == 1; }, 5000));
    qunsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace quorvel::tray::test
