#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <utility>

#include "app/desktop_ports.h"

namespace quorvel::app {

// Dialogs without a screen: messages are printed on `out`; a dialog that wants input
// is cancelled, since a command line gets its input from its options instead.
class HeadlessDialogs final : public DialogsPort {
public:
    explicit HeadlessDialogs(std::ostream& out) : out_(out) {}
    int run(const Alert& alert) override;
    int run(PairingDialog& dialog) override;
    int run(SetupDialog& dialog) override;
    void run(const LinkCreatedDialog& dialog) override;

private:
    std::ostream& out_;
};

// A clipboard of this process only: without a desktop session there is nobody to
// paste into. It holds the last text.
class MemoryClipboard final : public ClipboardPort {
public:
    void setText(const std::string& text) override { text_ = text; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// The computer's name as the desktop shows it: the pretty host name of the
// machine-info file when it sets one, else the host name.
class SystemHost final : public HostPort {
public:
    explicit SystemHost(std::string machineInfoFile = "/etc/machine-info")
        : machineInfoFile_(std::move(machineInfoFile)) {}
    std::optional<std::string> computerName() override;

private:
    std::string machineInfoFile_;
};

}  // namespace quorvel::app
