// The status menu as Qt renders it from the application's model, on the offscreen
// platform: every state of the status table, in-place updates, the link block, the
// source submenu and the actions forwarded with their values.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QTest>
#include <QWidgetAction>

#include "tray/menu_title_view.h"
#include "tray_test_support.h"

namespace quorvel::tray::test {
namespace {

using app::MenuItem;
using app::MenuRole;
using K = app::SenderState::Kind;

std::string text(const QAction* action) {
    return action->text().toStdString();
}

// The menu shows exactly the model's items: kinds, titles, enabling, visibility,
// check marks and represented values, submenus included (the source submenu is
// built apart, when it opens).
void expectRenders(const QMenu& menu, const std::vector<MenuItem>& items, const std::string& where = "menu") {
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(static_cast<std::size_t>(actions.size()), items.size()) << where;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const QAction* action = actions[static_cast<qsizetype>(i)];
        const MenuItem& item = items[i];
        const std::string at = where + " / " + std::to_string(i) + " " + item.title;
        EXPECT_EQ(action->isSeparator(), item.role == MenuRole::separator) << at;
        EXPECT_EQ(qobject_cast<const QWidgetAction*>(action) != nullptr,
                  item.role == MenuRole::title || item.role == MenuRole::meter)
            << at;
        if (!action->isSeparator()) {
            EXPECT_EQ(text(action), item.title) << at;
        }
        EXPECT_EQ(action->isVisible(), !item.hidden) << at;
        if (!item.hidden) {  // Qt disables hidden actions
            EXPECT_EQ(action->isEnabled(), item.enabled) << at;
        }
        EXPECT_EQ(action->isChecked(), item.checked) << at;
        EXPECT_EQ(action->data().isValid() ? std::optional(action->data().toString().toStdString()) : std::nullopt,
                  item.represented)
            << at;
        if (item.role != MenuRole::sourceItem) {
            EXPECT_EQ(action->menu() != nullptr, !item.submenu.empty()) << at;
            if (action->menu()) {
                expectRenders(*action->menu(), item.submenu, at);
            }
        }
    }
}

QAction* find(const QMenu& menu, const std::string& title) {
    for (QAction* action : menu.actions())
        if (text(action) == title) return action;
    ADD_FAILURE() << "no item " << title;
    return nullptr;
}

QMenu& sourceMenu(StatusMenu& menu) {
    QMenu* sources = find(menu.menu(), "Input Source")->menu();
    Q_EMIT sources->aboutToShow();
    return *sources;
}

TEST(StatusMenu, RendersEveryStateOfTheStatusTableInPlace) {
    RenderedApp rendered(false);
    auto& h = rendered.harness;
    QMenu& menu = rendered.menu->menu();
    const auto check = [&](const std::string& status, const std::string& label = "") {
        SCOPED_TRACE(status);
        h.queue.runPending();
        expectRenders(menu, h.delegate->menu().items);
        EXPECT_EQ(text(menu.actions()[1]), status);
        EXPECT_EQ(menu.actions()[1]->isVisible(), !status.empty());
        const auto* title = static_cast<MenuTitleView*>(qobject_cast<QWidgetAction*>(menu.actions()[0])->defaultWidget());
        EXPECT_EQ(title->label().text().toStdString(), label);
    };

    h.launch();
    check("Connect this computer: “Connect to Server…”", "Off");
    const QList<QAction*> layout = menu.actions();

    // Paired from the menu, then a link chosen.
    h.dialogs.pairing.push_back([](app::PairingDialog& dialog) {
        dialog.password.text = "studio";
        return 0;
    });
    find(menu, "Connect to Server…")->trigger();
    h.queue.runPending();
    h.config.stored.senderKey = "device-key";
    h.account.pairs.back().completion(std::string("Studio A"));
    h.delegate->refreshLinks();
    h.account.answerList({app::test::link("a", 1), app::test::link("b", 2)});
    find(*find(menu, "Link a")->menu(), "Select")->trigger();
    check("", "Off");

    h.delegate->toggleStream();
    h.sender().events.onState({K::connecting, ""});
    check("Connecting to server…");
    const QAction* linkA = find(menu, "Link a");
    h.sender().events.onState({K::connected, ""});
    check("Connected, waiting for audio");
    h.capture.last().finishStart();
    h.sender().events.onListeners(3);
    check("", "ON AIR");
    EXPECT_EQ(text(menu.actions()[2]), "listeners: 3");
    h.sender().events.onState({K::reconnecting, ""});
    check("No connection to server, reconnecting…");
    h.sender().events.onState(app::SenderState::failed("Session not found — choose another session"));
    check("⚠︎ Session not found — choose another session");
    h.delegate->appQuit("com.avid.ProTools.Player");
    check("⚠︎ Pro Tools закрыт");

    // The layout's items are the same objects throughout; the link block was not rebuilt
    // while the links stayed the same.
    for (QAction* action : layout) EXPECT_TRUE(menu.actions().contains(action));
    EXPECT_EQ(find(menu, "Link a"), linkA);
    h.account.answerList({app::test::link("a", 1)});
    check("⚠︎ Pro Tools закрыт");
    EXPECT_EQ(menu.actions().size(), layout.size() + 2);  // a separator and link a
}

TEST(StatusMenu, ForwardsEachChoiceWithItsValueOnceTheMenuHasClosed) {
    RenderedApp rendered;
    auto& h = rendered.harness;
    h.capture.devices = {{"uid-1", "Scarlett", 4, [](std::int64_t first) {
                              return "Inputs " + std::to_string(first) + "–" + std::to_string(first + 1);
                          }}};
    h.launchPairedWithLink();
    h.queue.runPending();
    QMenu& menu = rendered.menu->menu();

    QAction* select = find(*find(menu, "Link b")->menu(), "Select");
    select->trigger();
    EXPECT_EQ(h.state().selectedSessionId, "a") << "ran inside the action's signal";
    h.queue.runPending();
    EXPECT_EQ(h.state().selectedSessionId, "b");

    find(*find(menu, "Link a")->menu(), "Copy Link")->trigger();
    h.queue.runPending();
    EXPECT_EQ(h.clipboard.texts, std::vector<std::string>{"https://relay.test/l/a"});

    QMenu& sources = sourceMenu(*rendered.menu);
    expectRenders(sources, h.delegate->sourceMenu(), "sources");
    find(*find(sources, "Scarlett")->menu(), "Inputs 3–4")->trigger();
    h.queue.runPending();
    EXPECT_EQ(h.preferences.values["source"], SourceChoice::input("uid-1", 3).key());
    // Rebuilt on the next opening, with what the devices are then.
    h.capture.devices.clear();
    expectRenders(sourceMenu(*rendered.menu), h.delegate->sourceMenu(), "sources");
    EXPECT_TRUE(find(sourceMenu(*rendered.menu), "No audio interfaces with inputs"));

    find(menu, "Start Stream")->trigger();
    h.queue.runPending();
    EXPECT_EQ(h.state().mode, app::Mode::air);

    QAction* quit = find(menu, "Quit");
    EXPECT_EQ(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->trigger();
    EXPECT_EQ(rendered.quits, 0);
    h.queue.runPending();
    EXPECT_EQ(rendered.quits, 1);
    // The open menu takes the keys, its shortcut too.
    QTest::keyClick(&menu, Qt::Key_Q, Qt::ControlModifier);
    h.queue.runPending();
    EXPECT_EQ(rendered.quits, 2);
}

// A confirmation runs a nested event loop; the link list arriving meanwhile rebuilds
// the block whose item opened it.
TEST(StatusMenu, SurvivesTheLinkBlockRebuiltWhileADialogIsOpen) {
    RenderedApp rendered;
    auto& h = rendered.harness;
    h.launchPairedWithLink();
    h.queue.runPending();
    h.dialogs.alertAnswers = {0};
    h.dialogs.duringAlert = [&] {
        h.account.answerList({app::test::link("b", 2)});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    find(*find(rendered.menu->menu(), "Link a")->menu(), "End Session")->trigger();
    h.queue.runPending();
    ASSERT_EQ(h.account.ends.size(), 1u);
    EXPECT_EQ(h.account.ends[0].id, "a");
    expectRenders(rendered.menu->menu(), h.delegate->menu().items);
}

// Opening the menu asks for the links afresh; the meter ticks only while it is shown.
TEST(StatusMenu, OpeningRefreshesTheLinksAndShowsTheMeter) {
    RenderedApp rendered;
    auto& h = rendered.harness;
    h.launchPairedWithLink();
    int openings = 0;
    rendered.menu->onOpening = [&] { ++openings; };
    const std::size_t lists = h.account.lists.size();
    rendered.menu->menu().popup(QPoint(10, 10));
    EXPECT_EQ(h.account.lists.size(), lists + 1);
    EXPECT_EQ(openings, 1);
    EXPECT_TRUE(h.delegate->meter().ticking());
    rendered.menu->menu().hide();
    EXPECT_FALSE(h.delegate->meter().ticking());
}

// The copy a tray host draws: plain actions only (a custom view would be a blank row),
// the title row a line with the title's label, an item for the panel instead of the
// meter, and no second Ctrl+Q, which would make the shortcut ambiguous.
TEST(StatusMenu, TheHostDrawnCopyHoldsPlainActionsOnly) {
    RenderedApp rendered;
    auto& h = rendered.harness;
    StatusMenu host(*h.delegate, h.queue, [] {}, StatusMenu::Style::hostDrawn);
    int panels = 0;
    host.onShowPanel = [&] { ++panels; };
    h.delegate->onMenuChanged = [&](const app::MenuModel& model) {
        rendered.menu->render(model);
        host.render(model);
    };
    h.launchPairedWithLink();
    h.queue.runPending();
    const QMenu& menu = host.menu();
    for (const QAction* action : menu.actions()) EXPECT_EQ(qobject_cast<const QWidgetAction*>(action), nullptr);
    EXPECT_EQ(text(menu.actions()[0]), "Velmora Remote Studio · Off");
    EXPECT_FALSE(menu.actions()[0]->isEnabled());
    EXPECT_TRUE(find(menu, "Quit")->shortcut().isEmpty());
    EXPECT_TRUE(find(*find(menu, "Link a")->menu(), "Select")->isChecked());

    find(menu, StatusMenu::showPanelTitle)->trigger();
    h.queue.runPending();
    EXPECT_EQ(panels, 1);
    find(menu, "Start Stream")->trigger();
    h.queue.runPending();
    h.sender().events.onState({K::connected, ""});
    h.capture.last().finishStart();
    h.queue.runPending();
    EXPECT_EQ(text(menu.actions()[0]), "Velmora Remote Studio · ON AIR");
    EXPECT_TRUE(find(menu, "Stop Stream"));
    EXPECT_FALSE(find(*find(menu, "Link a")->menu(), "Select")->isEnabled());
    expectRenders(sourceMenu(host), h.delegate->sourceMenu(), "sources");
}

}  // namespace
}  // namespace quorvel::tray::test
