#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::app {

// An application-modal alert: message, informative text, buttons in order (the first
// is the default).
struct Alert {
    std::string message;
    std::string informative;
    std::vector<std::string> buttons;
};

struct TextField {
    std::string text;
    std::string placeholder;
    bool secure = false;  // masked
};

// "Connect to Server": one secure field.
struct PairingDialog {
    Alert alert;
    TextField password;
};

// "Setup Stream": the renderer writes back what the user typed and chose, so that a
// repeated run shows it again.
struct SetupDialog {
    enum class Focus { name, password };
    struct Choice {
        std::string title;
        std::int64_t value;
    };

    Alert alert;
    std::string nameLabel;
    TextField name;
    std::string passwordLabel;
    TextField password;
    std::string listenersLabel;
    std::vector<Choice> listenerChoices;
    std::optional<std::size_t> selectedChoice;  // index into listenerChoices
    Focus focus = Focus::name;                  // the field that gets the initial focus
};

// "Link for the client": two read-only fields; the first two buttons copy without
// closing the dialog, the last closes it.
struct LinkCreatedDialog {
    Alert alert;
    std::string link;
    std::string password;
    std::function<void()> copyLink;
    std::function<void()> copyPassword;
};

// Modal dialogs. Each call brings the application to the front, runs the dialog
// until it ends and returns the index of the button that ended it (-1 when it was
// closed otherwise). While a dialog is open its call runs the main queue: timers,
// completions and menu actions are handled meanwhile, so the core may be re-entered
// during the call and must not hold state across it that those may change.
class DialogsPort {
public:
    virtual ~DialogsPort() = default;
    virtual int run(const Alert& alert) = 0;
    virtual int run(PairingDialog& dialog) = 0;
    virtual int run(SetupDialog& dialog) = 0;
    virtual void run(const LinkCreatedDialog& dialog) = 0;
};

// The general clipboard.
class ClipboardPort {
public:
    virtual ~ClipboardPort() = default;
    // Clears the clipboard, then stores `text` as plain text.
    virtual void setText(const std::string& text) = 0;
};

// The name a computer is registered under when the system gives it none.
inline constexpr const char* kUnnamedComputer = "Linux";

// Facts about this computer.
class HostPort {
public:
    virtual ~HostPort() = default;
    // The computer's user-visible name, if the system gives one.
    virtual std::optional<std::string> computerName() = 0;
};

}  // namespace quorvel::app
