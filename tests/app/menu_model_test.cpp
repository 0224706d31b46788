#include <gtest/gtest.h>

#include "app/menu_text.h"
#include "app/status_text.h"
#include "app_doubles.h"

namespace quorvel::app::test {
namespace {

using K = SenderState::Kind;

std::vector<MenuRole> roles(const std::vector<MenuItem>& items) {
    std::vector<MenuRole> result;
    for (const MenuItem& i : items) result.push_back(i.role);
    return result;
}

// A paired computer on air with `source`, reported `net` state and optional capture.
AppState onAir(SenderState net, bool capturing, std::optional<std::string> problem = std::nullopt,
               std::optional<SourceChoice> source = SourceChoice::direct()) {
    AppState s;
    s.config.senderKey = "k";
    s.mode = Mode::air;
    s.source = std::move(source);
    s.problem = std::move(problem);
    s.netState = std::move(net);
    if (capturing) s.capture = std::make_shared<FakeSource>(SourceChoice::direct());
    return s;
}

TEST(StatusTableTest, EveryRowInOrder) {
    struct Row {
        AppState state;
        StatusView expected;
    };
    const Row rows[] = {
        {onAir({K::connected, ""}, true, "boom", std::nullopt),
         {"⚠︎ Choose an input source in the menu", "listeners: 0", Tint::orange, false}},
        {onAir({K::connected, ""}, true, "Pro Tools закрыт"), {"⚠︎ Pro Tools закрыт", "listeners: 0", Tint::orange, false}},
        {onAir({K::off, ""}, true), {"", "", Tint::none, false}},
        {onAir({K::connecting, ""}, false), {"Connecting to server…", "", Tint::orange, false}},
        {onAir({K::connected, ""}, true), {"", "listeners: 0", Tint::green, true}},
        {onAir({K::connected, ""}, false), {"Connected, waiting for audio", "listeners: 0", Tint::orange, false}},
        {onAir({K::reconnecting, ""}, true),
         {"No connection to server, reconnecting…", "", Tint::orange, false}},
        {onAir(SenderState::failed("Session not found — choose another session"), true),
         {"⚠︎ Session not found — choose another session", "", Tint::orange, false}},
    };
    for (const Row& row : rows) EXPECT_EQ(statusView(row.state), row.expected) << row.expected.status;
}

TEST(StatusTableTest, NotPairedAndOff) {
    AppState notPaired = onAir({K::connected, ""}, true);
    notPaired.config.senderKey.reset();
    EXPECT_EQ(statusView(notPaired),
              (StatusView{"Connect this computer: “Connect to Server…”", "", Tint::none, false}));
    AppState off = onAir({K::connected, ""}, true, "x");
    off.mode = Mode::off;
    off.sampleRate = 48000;
    EXPECT_EQ(statusView(off), StatusView{});
}

TEST(StatusTableTest, DetailParts) {
    AppState s = onAir({K::connected, ""}, true);
    s.sampleRate = 48000;
    s.listeners = 3;
    EXPECT_EQ(statusView(s).detail, "48 kHz · 24-bit · listeners: 3");
    s.netState = {K::connecting, ""};
    EXPECT_EQ(statusView(s).detail, "48 kHz · 24-bit");
    s.sampleRate = 0;
    EXPECT_EQ(statusView(s).detail, "");
    // The detail line does not depend on the status row.
    s = onAir({K::connected, ""}, false, "problem", std::nullopt);
    s.sampleRate = 44100;
    EXPECT_EQ(statusView(s).detail, "44.1 kHz · 24-bit · listeners: 0");
}

TEST(StatusTableTest, RateTexts) {
    EXPECT_EQ(rateText(44100), "44.1 kHz · 24-bit");
    EXPECT_EQ(rateText(48000), "48 kHz · 24-bit");
    EXPECT_EQ(rateText(88200), "88.2 kHz · 24-bit");
    EXPECT_EQ(rateText(96000), "96 kHz · 24-bit");
    EXPECT_EQ(rateText(22050), "22.1 kHz · 24-bit");
    EXPECT_EQ(rateText(192000), "192 kHz · 24-bit");
}

TEST(MenuModelTest, LayoutWithoutLinks) {
    AppHarness h;
    h.launch();
    const std::vector<MenuRole> expected = {
        MenuRole::title,     MenuRole::statusLine, MenuRole::detailLine, MenuRole::meter,
        MenuRole::separator, MenuRole::airItem,    MenuRole::separator,  MenuRole::sourceItem,
        MenuRole::separator, MenuRole::setupItem,  MenuRole::separator,  MenuRole::deviceLine,
        MenuRole::pairItem,  MenuRole::separator,  MenuRole::quitItem,
    };
    EXPECT_EQ(roles(h.delegate->menu().items), expected);
    EXPECT_EQ(h.item(MenuRole::quitItem).title, "Quit");
    EXPECT_EQ(h.item(MenuRole::quitItem).keyEquivalent, "q");
    EXPECT_EQ(h.item(MenuRole::title).title, "Velmora Remote Studio");
    EXPECT_EQ(h.item(MenuRole::sourceItem).title, "Input Source");
}

TEST(MenuModelTest, NotPaired) {
    AppHarness h;
    h.launch();
    EXPECT_EQ(h.item(MenuRole::statusLine).title, "Connect this computer: “Connect to Server…”");
    EXPECT_FALSE(h.item(MenuRole::statusLine).hidden);
    EXPECT_FALSE(h.item(MenuRole::statusLine).enabled);
    EXPECT_EQ(h.item(MenuRole::deviceLine).title, "Computer not connected to server");
    EXPECT_FALSE(h.item(MenuRole::pairItem).hidden);
    EXPECT_EQ(h.item(MenuRole::pairItem).title, "Connect to Server…");
    EXPECT_FALSE(h.item(MenuRole::airItem).enabled);
    EXPECT_FALSE(h.item(MenuRole::setupItem).enabled);
    EXPECT_TRUE(h.item(MenuRole::detailLine).hidden);
    EXPECT_EQ(h.delegate->menu().tint, Tint::none);
    EXPECT_EQ(h.delegate->menu().title.text(), "Off");
}

TEST(MenuModelTest, PairedWithoutNameAndOff) {
    AppHarness h;
    h.config.stored.senderKey = "k";
    h.launch();
    EXPECT_EQ(h.item(MenuRole::deviceLine).title, "Computer: connected");
    EXPECT_TRUE(h.item(MenuRole::pairItem).hidden);
    EXPECT_TRUE(h.item(MenuRole::statusLine).hidden);
    EXPECT_TRUE(h.item(MenuRole::detailLine).hidden);
    EXPECT_TRUE(h.item(MenuRole::setupItem).enabled);
    EXPECT_FALSE(h.item(MenuRole::airItem).enabled);  // nothing selected
    EXPECT_EQ(h.delegate->menu().title.text(), "Off");
    EXPECT_EQ(h.delegate->menu().title.colour(), MenuTitle::Colour::tertiaryLabel);
}

TEST(MenuModelTest, OnAirConnectedAndCapturing) {
    AppHarness h;
    h.launchPairedWithLink();
    EXPECT_EQ(h.item(MenuRole::deviceLine).title, "Computer: Studio A");
    EXPECT_TRUE(h.item(MenuRole::airItem).enabled);
    h.goOnAir();
    EXPECT_TRUE(h.item(MenuRole::statusLine).hidden);  // no report from the sender yet
    EXPECT_EQ(h.delegate->menu().tint, Tint::none);
    h.sender().events.onState({K::connecting, ""});
    EXPECT_EQ(h.item(MenuRole::statusLine).title, "Connecting to server…");
    EXPECT_EQ(h.delegate->menu().tint, Tint::orange);
    EXPECT_EQ(h.delegate->menu().title.text(), "");
    h.sender().events.onState({K::connected, ""});
    EXPECT_TRUE(h.item(MenuRole::statusLine).hidden);
    EXPECT_EQ(h.item(MenuRole::detailLine).title, "listeners: 0");
    EXPECT_EQ(h.delegate->menu().tint, Tint::green);
    EXPECT_TRUE(h.delegate->menu().live);
    EXPECT_EQ(h.delegate->menu().title.text(), "ON AIR");
    EXPECT_EQ(h.item(MenuRole::airItem).title, "Stop Stream");
    EXPECT_FALSE(h.item(MenuRole::sourceItem).enabled);
}

TEST(MenuModelTest, MeterResetUnlessCapturingOnAir) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    LevelMeter& meter = h.delegate->meter();
    meter.push(0.5f, 0.5f);
    h.delegate->refresh();
    EXPECT_FLOAT_EQ(meter.peakLeft(), 0.5f);  // capture running: kept
    h.delegate->appQuit("com.avid.ProTools");
    meter.push(0.5f, 0.5f);
    h.delegate->refresh();
    EXPECT_FLOAT_EQ(meter.peakLeft(), 0.0f);
    EXPECT_FLOAT_EQ(meter.dbLeft(), LevelMeter::silenceDb);
}

TEST(SessionBlockTest, InsertedAfterSetupWithCommands) {
    AppHarness h;
    h.launchPairedWithLink();
    h.account.answerList({link("x", 3), link("a", 2), link("b", 1)});
    const auto& items = h.delegate->menu().items;
    const std::vector<MenuRole> expected = {
        MenuRole::title,      MenuRole::statusLine,  MenuRole::detailLine,  MenuRole::meter,
        MenuRole::separator,  MenuRole::airItem,     MenuRole::separator,   MenuRole::sourceItem,
        MenuRole::separator,  MenuRole::setupItem,   MenuRole::separator,   MenuRole::sessionLink,
        MenuRole::sessionLink, MenuRole::sessionLink, MenuRole::separator,  MenuRole::deviceLine,
        MenuRole::pairItem,   MenuRole::separator,   MenuRole::quitItem,
    };
    EXPECT_EQ(roles(items), expected);
    EXPECT_EQ(items[11].title, "Link x");
    EXPECT_FALSE(items[11].checked);
    EXPECT_TRUE(items[12].checked);  // "a" is selected

    const MenuItem& selected = items[12];
    ASSERT_EQ(selected.submenu.size(), 4u);
    const char* titles[] = {"Select", "Copy Link", "Copy Password", "End Session"};
    const MenuAction actions[] = {MenuAction::selectSession, MenuAction::copySessionLink,
                                  MenuAction::copySessionPassword, MenuAction::endSession};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(selected.submenu[i].title, titles[i]);
        EXPECT_EQ(selected.submenu[i].action, actions[i]);
        EXPECT_EQ(selected.submenu[i].represented, "a");
    }
    EXPECT_TRUE(selected.submenu[0].checked);
    EXPECT_TRUE(selected.submenu[0].enabled);
    EXPECT_FALSE(selected.submenu[1].checked);
    EXPECT_FALSE(selected.submenu[2].enabled);  // password unknown here
    EXPECT_TRUE(selected.submenu[3].enabled);

    h.goOnAir();
    for (int i = 11; i < 14; ++i) EXPECT_FALSE(h.delegate->menu().items[i].submenu[0].enabled);
}

TEST(SessionBlockTest, RebuiltOnEveryRefresh) {
    AppHarness h;
    h.launchPairedWithLink();
    h.account.answerList({});
    EXPECT_EQ(h.delegate->menu().items.size(), 15u);
    h.account.answerList({link("a")});
    EXPECT_EQ(h.delegate->menu().items.size(), 17u);
}

TEST(SourceMenuTest, DirectInputsAndChecks) {
    AppHarness h;
    h.capture.devices = {
        {"dev-5", "Five", 5, [](std::int64_t first) { return "pair " + std::to_string(first); }},
        {"dev-2", "Two", 2, [](std::int64_t first) { return "only " + std::to_string(first); }},
    };
    h.preferences.values["source"] = "input|3|dev-5";
    h.launch();
    const std::vector<MenuItem> menu = h.delegate->sourceMenu();
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_EQ(menu[0].title, "ProTools Output");
    EXPECT_EQ(menu[0].represented, "direct");
    EXPECT_EQ(menu[0].action, MenuAction::chooseSource);
    EXPECT_TRUE(menu[0].enabled);
    EXPECT_FALSE(menu[0].checked);
    EXPECT_EQ(menu[1].role, MenuRole::separator);
    EXPECT_EQ(menu[2].title, "System Drivers:");
    EXPECT_FALSE(menu[2].enabled);

    const MenuItem& five = menu[3];
    EXPECT_EQ(five.title, "Five");
    EXPECT_TRUE(five.checked);
    EXPECT_EQ(five.action, MenuAction::none);
    ASSERT_EQ(five.submenu.size(), 3u);
    EXPECT_EQ(five.submenu[0].title, "pair 1");
    EXPECT_EQ(five.submenu[1].represented, "input|3|dev-5");
    EXPECT_TRUE(five.submenu[1].checked);
    EXPECT_FALSE(five.submenu[0].checked);
    EXPECT_EQ(five.submenu[2].represented, "input|5|dev-5");
    EXPECT_FALSE(menu[4].checked);
    ASSERT_EQ(menu[4].submenu.size(), 1u);
    EXPECT_EQ(menu[4].submenu[0].title, "only 1");
}

TEST(SourceMenuTest, NoDevicesAndDirectUnavailable) {
    AppHarness h;
    h.capture.direct = false;
    h.launch();
    const std::vector<MenuItem> menu = h.delegate->sourceMenu();
    ASSERT_EQ(menu.size(), 4u);
    EXPECT_FALSE(menu[0].enabled);
    EXPECT_EQ(menu[3].title, "No audio interfaces with inputs");
    EXPECT_FALSE(menu[3].enabled);
    EXPECT_EQ(menu[3].action, MenuAction::none);
}

TEST(SourceMenuTest, ChoosingStoresAndRestartsTheCaptureOnAir) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    FakeSource& first = h.capture.last();
    h.delegate->appQuit("com.avid.ProTools.2024");
    EXPECT_TRUE(h.state().problem);

    h.delegate->perform(MenuAction::chooseSource, "input|1|dev");
    EXPECT_EQ(h.state().source, SourceChoice::input("dev", 1));
    EXPECT_EQ(h.preferences.values["source"], "input|1|dev");
    EXPECT_FALSE(h.state().problem);
    EXPECT_EQ(first.stops, 1);
    ASSERT_EQ(h.capture.made.size(), 2u);
    EXPECT_EQ(h.capture.last().choice, SourceChoice::input("dev", 1));

    h.delegate->chooseSource("not a key");
    h.delegate->chooseSource(std::nullopt);
    EXPECT_EQ(h.state().source, SourceChoice::input("dev", 1));
    EXPECT_EQ(h.capture.made.size(), 2u);
}

TEST(MenuTextTest, RendersVisibleItemsAndSubmenus) {
    AppHarness h;
    h.capture.devices = {{"dev", "Card", 2, [](std::int64_t) { return "Inputs 1–2"; }}};
    h.launchPairedWithLink();
    const std::string text = renderMenu(h.delegate->menu(), h.delegate->sourceMenu());
    EXPECT_EQ(text,
              "Velmora Remote Studio [Off]\n"
              "[level meter]\n"
              "----\n"
              "Start Stream\n"
              "----\n"
              "Input Source >\n"
              "    ✓ ProTools Output\n"
              "    ----\n"
              "    System Drivers:\n"
              "    Card >\n"
              "        Inputs 1–2\n"
              "----\n"
              "Setup Stream…\n"
              "----\n"
              "Link b >\n"
              "    Select\n"
              "    Copy Link\n"
              "    Copy Password (disabled)\n"
              "    End Session\n"
              "✓ Link a >\n"
              "    ✓ Select\n"
              "    Copy Link\n"
              "    Copy Password (disabled)\n"
              "    End Session\n"
              "----\n"
              "Computer: Studio A\n"
              "----\n"
              "Quit [q]\n"
              "Icon tint: none\n");
}

}  // namespace
}  // namespace quorvel::app::test
