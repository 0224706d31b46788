#pragma once

#include "app/desktop_ports.h"

namespace quorvel::tray {

// The desktop's clipboard (Qt's), on the GUI thread.
class QtClipboard final : public app::ClipboardPort {
public:
    void setText(const std::string& text) override;
};

}  // namespace quorvel::tray
