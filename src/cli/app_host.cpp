#include "cli/app_host.h"

#include <utility>

namespace quorvel::cli {

void AppHost::ListingAccount::listLinks(const Config& config, const std::string& key,
                                        Completion<std::vector<app::StreamLink>> completion) {
    inner_.listLinks(config, key, [this, completion = std::move(completion)](auto result) {
        std::optional<std::string> failure;
        if (!result) failure = result.error().text;
        completion(std::move(result));
        if (auto first = std::exchange(onFirstListing, nullptr)) first(failure);
    });
}

AppHost::AppHost(Executor& mainQueue, std::ostream& messages)
    : dialogs_(messages), system_(mainQueue), account_(system_.account()) {
    system_.createDelegate({dialogs_, clipboard_, &account_});
}

void AppHost::launch(std::function<void(std::optional<std::string>)> ready) {
    if (app().state().paired()) account_.onFirstListing = std::move(ready);
    app().applicationDidFinishLaunching();
    if (!app().state().paired()) ready(std::nullopt);
}

}  // namespace quorvel::cli
