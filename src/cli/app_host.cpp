#include "cli/app_host.h"

#include <chrono>
#include <ostream>

namespace quorvel::cli {

AppHost::AppHost(Executor& mainQueue, std::ostream& messages)
    : messages_(messages), dialogs_(messages), system_(mainQueue), account_(system_.account(), mainQueue) {
    system_.createDelegate({dialogs_, clipboard_, &account_});
}

void AppHost::launch(std::function<void(std::optional<std::string>)> ready, bool waitForServer) {
    if (waitForServer)
        account_.onWaiting = [&messages = messages_](const std::string& failure, Duration delay) {
            messages << failure << " Trying again in "
                     << std::chrono::duration_cast<std::chrono::seconds>(delay).count() << " s.\n"
                     << std::flush;
        };
    if (app().state().paired()) account_.onFirstListing = std::move(ready);
    app().applicationDidFinishLaunching();
    if (!app().state().paired()) ready(std::nullopt);
}

}  // namespace quorvel::cli
