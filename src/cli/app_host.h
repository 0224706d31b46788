#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "app/adapters/first_listing_account.h"
#include "app/adapters/system_app.h"

namespace quorvel::cli {

// The application core on the real ports, run without a screen: what `quorvel
// stream` and `quorvel status` drive. Main queue only.
class AppHost {
public:
    // Dialog messages go to `messages`.
    AppHost(Executor& mainQueue, std::ostream& messages);

    // Launches the application; `ready` runs once the links have been listed (at once
    // when the computer is not paired), with the listing's failure text if it failed.
    // With `waitForServer`, a server out of reach is waited for meanwhile, each wait
    // told on `messages`.
    void launch(std::function<void(std::optional<std::string> failure)> ready, bool waitForServer = false);

    app::AppDelegate& app() { return system_.app(); }
    app::SystemApp& system() { return system_; }

private:
    std::ostream& messages_;
    app::HeadlessDialogs dialogs_;
    app::MemoryClipboard clipboard_;
    app::SystemApp system_;
    app::FirstListingAccount account_;
};

}  // namespace quorvel::cli
