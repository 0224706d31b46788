#include <gtest/gtest.h>

#include "app/link_form.h"
#include "app_doubles.h"

namespace quorvel::app::test {
namespace {

std::string repeat(std::string_view piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
}

// One run of the setup dialog in which the user types `name` and `password` and
// presses "Create Link".
std::function<int(SetupDialog&)> typing(std::string name, std::string password) {
    return [name, password](SetupDialog& d) {
        d.name.text = name;
        d.password.text = password;
        return 0;
    };
}

struct PairingTest : ::testing::Test {
    AppHarness h;
    void SetUp() override { h.launch(); }
    void enter(std::string password, int button = 0) {
        h.dialogs.pairing.push_back([password, button](PairingDialog& d) {
            EXPECT_EQ(d.alert.message, "Connect to Server");
            EXPECT_EQ(d.alert.informative, "Enter the studio password.");
            EXPECT_EQ(d.alert.buttons, (std::vector<std::string>{"Connect", "Cancel"}));
            EXPECT_EQ(d.password.placeholder, "Studio password");
            EXPECT_TRUE(d.password.secure);
            d.password.text = password;
            return button;
        });
        h.delegate->perform(MenuAction::pairComputer, std::nullopt);
    }
};

TEST_F(PairingTest, CancelDoesNothing) {
    enter("secret", 1);
    EXPECT_TRUE(h.account.pairs.empty());
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST_F(PairingTest, EmptyPasswordIsRefusedWithoutRequest) {
    enter("");
    EXPECT_TRUE(h.account.pairs.empty());
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Enter the studio password."});
    EXPECT_EQ(h.dialogs.alerts[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(h.dialogs.alerts[0].informative, "");
}

TEST_F(PairingTest, PasswordIsSentUntrimmedWithTheComputerName) {
    enter("  pass ");
    ASSERT_EQ(h.account.pairs.size(), 1u);
    EXPECT_EQ(h.account.pairs[0].password, "  pass ");
    EXPECT_EQ(h.account.pairs[0].name, "Studio A");
}

TEST_F(PairingTest, LinuxWhenTheComputerHasNoName) {
    for (const std::optional<std::string>& name : {std::optional<std::string>(""), std::optional<std::string>()}) {
        h.host.name = name;
        enter("pw");
        EXPECT_EQ(h.account.pairs.back().name, "Linux");
    }
}

TEST_F(PairingTest, SuccessReloadsTheConfigurationAndNamesTheConfirmedName) {
    enter("pw");
    h.config.stored.senderKey = "new-key";
    h.config.stored.deviceName = "Studio B";
    h.account.pairs[0].completion(std::string("Studio B"));
    EXPECT_EQ(h.state().config.senderKey, "new-key");
    EXPECT_EQ(h.item(MenuRole::deviceLine).title, "Computer: Studio B");
    EXPECT_TRUE(h.item(MenuRole::pairItem).hidden);
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Done! Computer “Studio B” is connected."});
    EXPECT_TRUE(h.account.lists.empty());  // fetched when the menu next opens
    h.delegate->menuWillOpen();
    EXPECT_EQ(h.account.lists.size(), 1u);
}

TEST_F(PairingTest, FailureShowsTheMessage) {
    enter("pw");
    h.account.pairs[0].completion(AccountFailure{"Wrong password."});
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Wrong password."});
    EXPECT_FALSE(h.state().config.senderKey);
}

struct SetupTest : ::testing::Test {
    AppHarness h;
    void SetUp() override { h.launchPairedWithLink(); }
    void run() { h.delegate->perform(MenuAction::setupStream, std::nullopt); }
};

TEST_F(SetupTest, NotPairedDoesNothing) {
    AppHarness unpaired;
    unpaired.launch();
    unpaired.dialogs.setups.push_back(typing("n", "pass"));
    unpaired.delegate->setupStream();
    EXPECT_TRUE(unpaired.dialogs.setupsShown.empty());
}

TEST_F(SetupTest, FirstDialogTextsAndDefaults) {
    h.dialogs.setups.push_back(typing("  Client\t", " pass"));
    run();
    ASSERT_EQ(h.dialogs.setupsShown.size(), 1u);
    const SetupDialog& d = h.dialogs.setupsShown[0];
    EXPECT_EQ(d.alert.message, "Setup Stream");
    EXPECT_EQ(d.alert.informative, "Create a link for the client. The link plays the stream of this computer.");
    EXPECT_EQ(d.alert.buttons, (std::vector<std::string>{"Create Link", "Cancel"}));
    EXPECT_EQ(d.nameLabel, "Name");
    EXPECT_EQ(d.passwordLabel, "Client password");
    EXPECT_EQ(d.password.placeholder, "at least 4 characters");
    EXPECT_FALSE(d.password.secure);
    EXPECT_EQ(d.listenersLabel, "Listeners (max)");
    ASSERT_EQ(d.listenerChoices.size(), 5u);
    EXPECT_EQ(d.listenerChoices[0].title, "1");
    EXPECT_EQ(d.listenerChoices[4].value, 5);
    EXPECT_EQ(d.selectedChoice, 4u);
    EXPECT_EQ(d.focus, SetupDialog::Focus::name);

    ASSERT_EQ(h.account.creates.size(), 1u);
    EXPECT_EQ(h.account.creates[0].key, "device-key");
    EXPECT_EQ(h.account.creates[0].name, "Client");
    EXPECT_EQ(h.account.creates[0].password, " pass");
    EXPECT_EQ(h.account.creates[0].maxListeners, 5);
}

TEST_F(SetupTest, ChosenListenerLimitIsSent) {
    h.dialogs.setups.push_back([](SetupDialog& d) {
        d.name.text = "n";
        d.password.text = "pass";
        d.selectedChoice = 1;
        return 0;
    });
    run();
    EXPECT_EQ(h.account.creates.at(0).maxListeners, 2);
}

TEST_F(SetupTest, CancelSendsNothing) {
    h.dialogs.setups.push_back([](SetupDialog&) { return 1; });
    run();
    EXPECT_TRUE(h.account.creates.empty());
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST_F(SetupTest, NameLimitCountsUserPerceivedCharacters) {
    // "é" written as e + combining acute: 80 of them are 80 characters, 160 code points.
    const std::string e = "e\u0301";
    h.dialogs.setups.push_back(typing(repeat(e, 81), "pass"));
    h.dialogs.setups.push_back([&](SetupDialog& d) {
        d.name.text = repeat(e, 80);
        return 0;
    });
    run();
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Enter a name (up to 80 characters)."});
    ASSERT_EQ(h.account.creates.size(), 1u);
    EXPECT_EQ(h.account.creates[0].name, repeat(e, 80));
}

TEST_F(SetupTest, BlankNameIsInvalid) {
    h.dialogs.setups.push_back(typing(" \t\u3000 ", "pass"));
    run();
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Enter a name (up to 80 characters)."});
    EXPECT_TRUE(h.account.creates.empty());
}

TEST_F(SetupTest, PasswordLimits) {
    struct Case {
        int length;
        bool valid;
    };
    for (const Case c : {Case{3, false}, Case{4, true}, Case{100, true}, Case{101, false}}) {
        AppHarness g;
        g.launchPairedWithLink();
        g.dialogs.setups.push_back(typing("n", repeat("ж", c.length)));
        g.delegate->setupStream();
        EXPECT_EQ(g.account.creates.size(), c.valid ? 1u : 0u) << c.length;
        if (!c.valid) {
            EXPECT_EQ(g.dialogs.messages(), std::vector<std::string>{"The client password must be 4 to 100 characters."});
        }
    }
}

// The same rules field by field, as `quorvel links create` asks for them.
TEST(LinkFormTest, FieldByFieldCountsUserPerceivedCharacters) {
    EXPECT_EQ(*LinkForm::checkName("\u00A0 Mix\t"), "Mix");
    EXPECT_EQ(*LinkForm::checkName(repeat("ж", 80)), repeat("ж", 80));
    EXPECT_EQ(LinkForm::checkName(repeat("ж", 81)).error().focus, SetupDialog::Focus::name);
    EXPECT_FALSE(LinkForm::checkPassword("  ab")) << "untrimmed: leading spaces count";
    const auto flags = LinkForm::checkPassword("\U0001F1FA\U0001F1E6\U0001F1FA\U0001F1E6\U0001F1FA\U0001F1E6");
    ASSERT_TRUE(flags) << "six code points, three characters";
    EXPECT_EQ(flags->text, "The client password must be 4 to 100 characters.");
    EXPECT_EQ(flags->focus, SetupDialog::Focus::password);
}

TEST_F(SetupTest, RepeatsWithTypedTextNameErrorFirstAndFocusOnTheOffendingField) {
    h.dialogs.setups.push_back(typing("", "abc"));  // both invalid
    h.dialogs.setups.push_back([](SetupDialog& d) {
        d.name.text = "  Good name ";
        return 0;
    });
    h.dialogs.setups.push_back([](SetupDialog& d) {
        d.password.text = "abcd";
        return 0;
    });
    run();
    EXPECT_EQ(h.dialogs.messages(), (std::vector<std::string>{"Enter a name (up to 80 characters).",
                                                              "The client password must be 4 to 100 characters."}));
    ASSERT_EQ(h.dialogs.setupsShown.size(), 3u);
    EXPECT_EQ(h.dialogs.setupsShown[1].focus, SetupDialog::Focus::name);
    EXPECT_EQ(h.dialogs.setupsShown[1].password.text, "abc");
    EXPECT_EQ(h.dialogs.setupsShown[2].focus, SetupDialog::Focus::password);
    EXPECT_EQ(h.dialogs.setupsShown[2].name.text, "  Good name ");  // as typed
    ASSERT_EQ(h.account.creates.size(), 1u);
    EXPECT_EQ(h.account.creates[0].name, "Good name");
}

TEST_F(SetupTest, RevokedWhileTheDialogIsOpenSendsNothing) {
    h.goOnAir();
    h.dialogs.setups.push_back([&](SetupDialog& d) {
        h.sender().events.onRevoked();
        d.name.text = "n";
        d.password.text = "pass";
        return 0;
    });
    run();
    EXPECT_TRUE(h.account.creates.empty());
}

TEST_F(SetupTest, CreatedLinkIsShownWithCopyButtons) {
    h.dialogs.setups.push_back(typing("Client", "secret1"));
    run();
    const std::size_t listsBefore = h.account.lists.size();
    h.dialogs.whileLinkShown = [&](const LinkCreatedDialog& d) {
        EXPECT_EQ(h.state().shownLink->id, "new");
        d.copyLink();
        d.copyPassword();
    };
    StreamLink created{"new", "Client", "https://relay.test/l/new", 9, 3, 0};
    h.account.creates[0].completion(created);

    EXPECT_EQ(h.state().linkPasswords.at("new"), "secret1");
    EXPECT_EQ(h.account.lists.size(), listsBefore + 1);
    ASSERT_EQ(h.dialogs.linksShown.size(), 1u);
    const LinkCreatedDialog& d = h.dialogs.linksShown[0];
    EXPECT_EQ(d.alert.message, "Link for the client");
    EXPECT_EQ(d.alert.informative,
              "Client · listeners: up to 3\nSend the link and the password to the client in separate messages.");
    EXPECT_EQ(d.alert.buttons, (std::vector<std::string>{"Copy Link", "Copy Password", "Done"}));
    EXPECT_EQ(d.link, "https://relay.test/l/new");
    EXPECT_EQ(d.password, "secret1");
    EXPECT_EQ(h.clipboard.texts, (std::vector<std::string>{"https://relay.test/l/new", "secret1"}));
    EXPECT_FALSE(h.state().shownLink);
    EXPECT_FALSE(h.state().shownPassword);
    h.delegate->copyShownLink();
    EXPECT_EQ(h.clipboard.texts.size(), 2u);

    h.account.answerList({created, link("a")});
    h.delegate->perform(MenuAction::copySessionPassword, "new");
    EXPECT_EQ(h.clipboard.texts.back(), "secret1");
}

TEST_F(SetupTest, CreationFailureIsShown) {
    h.dialogs.setups.push_back(typing("Client", "secret1"));
    run();
    h.account.creates[0].completion(AccountFailure{"Choose how many listeners (1 to 5)."});
    EXPECT_EQ(h.dialogs.messages(), std::vector<std::string>{"Choose how many listeners (1 to 5)."});
    EXPECT_TRUE(h.state().linkPasswords.empty());
}

TEST(LinkListTest, NewestFirstAndStableForEqualTimes) {
    AppHarness h;
    h.launchPairedWithLink();
    StreamLink first300 = link("p", 300);
    StreamLink second300 = link("q", 300);
    h.account.answerList({link("o", 100), first300, link("r", 200), second300, link("a", 0)});
    std::vector<std::string> ids;
    for (const StreamLink& l : h.state().links) ids.push_back(l.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"p", "q", "r", "o", "a"}));
}

TEST(LinkListTest, SelectedLinkMissingOnAirStopsTheBroadcast) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.account.failList();
    EXPECT_EQ(h.state().mode, Mode::air);  // a failed list changes nothing
    EXPECT_EQ(h.state().links.size(), 2u);
    h.delegate->menuWillOpen();
    h.account.answerList({link("b")});
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_FALSE(h.state().sender);
    EXPECT_EQ(h.sender().stops, 1);
    EXPECT_FALSE(h.state().selectedSessionId);
    EXPECT_FALSE(h.preferences.values.contains("session"));
}

TEST(LinkListTest, WithoutKeyTheListEmpties) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.sender().events.onRevoked();
    h.delegate->menuWillOpen();
    EXPECT_TRUE(h.state().links.empty());
    EXPECT_EQ(h.account.lists.size(), 1u);
}

TEST(SelectTest, OnlyWhileOff) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->perform(MenuAction::selectSession, "b");
    EXPECT_EQ(h.state().selectedSessionId, "b");
    EXPECT_EQ(h.preferences.values["session"], "b");
    h.delegate->perform(MenuAction::selectSession, "unknown");
    h.delegate->perform(MenuAction::selectSession, std::nullopt);
    EXPECT_EQ(h.state().selectedSessionId, "b");
    h.goOnAir();
    h.delegate->perform(MenuAction::selectSession, "a");
    EXPECT_EQ(h.state().selectedSessionId, "b");
}

TEST(CopyTest, LinkAndKnownPasswordsOnly) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->perform(MenuAction::copySessionLink, "b");
    h.delegate->perform(MenuAction::copySessionPassword, "b");
    h.delegate->perform(MenuAction::copySessionLink, "zzz");
    EXPECT_EQ(h.clipboard.texts, std::vector<std::string>{"https://relay.test/l/b"});
    h.delegate->copyShownPassword();
    EXPECT_EQ(h.clipboard.texts.size(), 1u);
}

TEST(EndSessionTest, ConfirmedEndForgetsThePasswordAndRefreshes) {
    AppHarness h;
    h.launchPairedWithLink();
    h.dialogs.setups.push_back(typing("n", "pass"));
    h.delegate->setupStream();
    h.account.creates[0].completion(link("c"));
    h.account.answerList({link("c"), link("a")});
    ASSERT_TRUE(h.state().linkPasswords.contains("c"));
    h.dialogs.alerts.clear();

    h.dialogs.alertAnswers = {1};
    h.delegate->perform(MenuAction::endSession, "c");
    EXPECT_TRUE(h.account.ends.empty());
    EXPECT_EQ(h.dialogs.alerts.at(0).message, "End Session “Link c”?");
    EXPECT_EQ(h.dialogs.alerts.at(0).informative, "Listeners will be disconnected and the link will stop working.");
    EXPECT_EQ(h.dialogs.alerts.at(0).buttons, (std::vector<std::string>{"End Session", "Cancel"}));

    h.delegate->perform(MenuAction::endSession, "c");
    ASSERT_EQ(h.account.ends.size(), 1u);
    EXPECT_EQ(h.account.ends[0].id, "c");
    const std::size_t lists = h.account.lists.size();
    h.account.ends[0].completion(AccountPort::Done{});
    EXPECT_FALSE(h.state().linkPasswords.contains("c"));
    EXPECT_EQ(h.account.lists.size(), lists + 1);
    EXPECT_EQ(h.dialogs.alerts.size(), 2u);  // the two confirmations, no message
}

TEST(EndSessionTest, FailureIsShownThenThePasswordIsForgottenAnyway) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->perform(MenuAction::endSession, "a");
    const std::size_t lists = h.account.lists.size();
    h.account.ends.at(0).completion(AccountFailure{"This link no longer exists."});
    EXPECT_EQ(h.dialogs.messages().back(), "This link no longer exists.");
    EXPECT_EQ(h.account.lists.size(), lists + 1);
    EXPECT_EQ(h.state().selectedSessionId, "a");  // only a listing clears it
}

// The nested loop of a modal dialog may deliver a list answer meanwhile; the
// confirmed link is ended, whatever the list holds by then.
TEST(EndSessionTest, ListReplacedWhileConfirmingStillEndsTheConfirmedLink) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->menuWillOpen();
    h.dialogs.duringAlert = [&] { h.account.answerList({link("z")}); };
    h.delegate->endSession("b");
    ASSERT_EQ(h.account.ends.size(), 1u);
    EXPECT_EQ(h.account.ends[0].id, "b");
}

}  // namespace
}  // namespace quorvel::app::test
