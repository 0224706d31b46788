#pragma once

#include <iosfwd>
#include <optional>
#include <string>

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

// The host name.
class SystemHost final : public HostPort {
public:
    std::optional<std::string> computerName() override;
};

}  // namespace quorvel::app
