#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/link_form.h"
#include "tray/qt_clipboard.h"
#include "tray/qt_dialogs.h"
#include "tray/qt_test_application.h"

namespace quorvel::tray {
namespace {

QWidget* focused() {
    return QApplication::focusWidget();
}

// Runs `step` on the modal dialog once the nested event loop has shown it, the way
// a person meets it: keys go to whatever has the keyboard focus.
void whenShown(std::function<void(QDialog&)> step) {
    QTimer::singleShot(0, [step = std::move(step)] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return ADD_FAILURE() << "no modal dialog";
        // Activation arrives as an event of the window system, after the dialog shows.
        if (!QTest::qWaitForWindowActive(dialog)) ADD_FAILURE() << "the dialog did not become active";
        if (focused()) step(*dialog);
        else ADD_FAILURE() << "nothing has the keyboard focus";
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog is still open";
            dialog->reject();
        }
    });
}

void type(const QString& text) {
    QTest::keyClicks(focused(), text);
}

void press(Qt::Key key) {
    QTest::keyClick(focused(), key);
}

QPushButton* button(QDialog& dialog, const QString& title) {
    for (auto* candidate : dialog.findChildren<QPushButton*>())
        if (candidate->text() == title) return candidate;
    return nullptr;
}

QStringList texts(QDialog& dialog) {
    QStringList result;
    for (auto* label : dialog.findChildren<QLabel*>()) result << label->text();
    return result;
}

TEST(QtDialogsTest, AlertReturnPressesTheDefaultAndEscapeCancels) {
    QtDialogs dialogs;
    const app::Alert confirmation{"End Session “<b>Mix</b>”?",
                                  "Listeners will be disconnected and the link will stop working.",
                                  {"End Session", "Cancel"}};
    whenShown([](QDialog& dialog) {
        EXPECT_TRUE(texts(dialog).contains("End Session “<b>Mix</b>”?"));  // shown as typed, not as markup
        EXPECT_EQ(focused(), button(dialog, "End Session"));
        press(Qt::Key_Return);
    });
    EXPECT_EQ(dialogs.run(confirmation), 0);

    whenShown([](QDialog&) { press(Qt::Key_Escape); });
    EXPECT_EQ(dialogs.run(confirmation), -1);

    whenShown([](QDialog& dialog) { QTest::mouseClick(button(dialog, "Cancel"), Qt::LeftButton); });
    EXPECT_EQ(dialogs.run(confirmation), 1);
}

TEST(QtDialogsTest, PairingTypesIntoTheMaskedField) {
    QtDialogs dialogs;
    app::PairingDialog pairing{{"Connect to Server", "Enter the studio password.", {"Connect", "Cancel"}},
                               {"", "Studio password", true}};
    whenShown([](QDialog&) {
        auto* field = qobject_cast<QLineEdit*>(focused());
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->placeholderText(), "Studio password");
        type(" s3cret ");
        press(Qt::Key_Return);
    });
    EXPECT_EQ(dialogs.run(pairing), 0);
    EXPECT_EQ(pairing.password.text, " s3cret ");
}

TEST(QtDialogsTest, SetupKeepsWhatWasTypedAndTheFocusAcrossRepeats) {
    QtDialogs dialogs;
    app::SetupDialog setup = app::LinkForm::dialog();
    whenShown([](QDialog& dialog) {
        const auto fields = dialog.findChildren<QLineEdit*>();
        ASSERT_EQ(fields.size(), 2);
        EXPECT_EQ(focused(), fields[0]);
        EXPECT_EQ(dialog.findChild<QComboBox*>()->currentText(), "5");
        type("  Mix A ");
        press(Qt::Key_Tab);
        EXPECT_EQ(focused(), fields[1]);
        type("abc");
        press(Qt::Key_Tab);
        press(Qt::Key_Up);  // the listener limit, from 5 to 4
        press(Qt::Key_Return);
    });
    ASSERT_EQ(dialogs.run(setup), 0);
    EXPECT_EQ(setup.name.text, "  Mix A ");
    EXPECT_EQ(setup.password.text, "abc");
    EXPECT_EQ(setup.selectedChoice, 3u);

    // Too short a password: the core asks again with the focus on it.
    auto invalid = app::LinkForm::check(setup);
    ASSERT_FALSE(invalid);
    setup.focus = invalid.error().focus;
    whenShown([](QDialog& dialog) {
        const auto fields = dialog.findChildren<QLineEdit*>();
        EXPECT_EQ(fields[0]->text(), "  Mix A ");
        EXPECT_EQ(focused(), fields[1]);
        EXPECT_EQ(dialog.findChild<QComboBox*>()->currentText(), "4");
        QTest::keyClick(focused(), Qt::Key_End);
        type("d");
        press(Qt::Key_Return);
    });
    ASSERT_EQ(dialogs.run(setup), 0);
    auto form = app::LinkForm::check(setup);
    ASSERT_TRUE(form);
    EXPECT_EQ(form->name, "Mix A");
    EXPECT_EQ(form->password, "abcd");
    EXPECT_EQ(form->maxListeners, 4);

    whenShown([](QDialog&) { press(Qt::Key_Escape); });
    EXPECT_EQ(dialogs.run(setup), -1);
}

TEST(QtDialogsTest, LinkCopyButtonsCopyWithoutClosingAndReturnMeansDone) {
    QtDialogs dialogs;
    QtClipboard clipboard;
    app::LinkCreatedDialog created;
    created.alert = {"Link for the client",
                     "Mix A · listeners: up to 4\nSend the link and the password to the client in separate messages.",
                     {"Copy Link", "Copy Password", "Done"}};
    created.link = "https://relay.example/l/abc";
    created.password = "pass word";
    created.copyLink = [&] { clipboard.setText(created.link); };
    created.copyPassword = [&] { clipboard.setText(created.password); };
    whenShown([](QDialog& dialog) {
        const auto fields = dialog.findChildren<QLineEdit*>();
        ASSERT_EQ(fields.size(), 2);
        EXPECT_EQ(fields[0]->text(), "https://relay.example/l/abc");
        EXPECT_EQ(fields[1]->text(), "pass word");
        EXPECT_TRUE(fields[0]->isReadOnly() && fields[1]->isReadOnly());
        EXPECT_EQ(focused(), fields[0]);

        QTest::mouseClick(button(dialog, "Copy Link"), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(QGuiApplication::clipboard()->text(), "https://relay.example/l/abc");
        QTest::mouseClick(button(dialog, "Copy Password"), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(QGuiApplication::clipboard()->text(), "pass word");

        type("typed");  // read-only
        EXPECT_EQ(fields[0]->text(), "https://relay.example/l/abc");
        press(Qt::Key_Return);
    });
    dialogs.run(created);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "pass word");
}

}  // namespace
}  // namespace quorvel::tray
