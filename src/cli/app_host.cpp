#include "cli/app_host.h"

#include <algorithm>
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
    : mainQueue_(mainQueue), account_(mainQueue), capture_(mainQueue), dialogs_(messages) {
    feed_ = app::PipeWireApplicationFeed::start(watch_, mainQueue_);
    app_ = app::AppDelegate::create(app::AppPorts{
        mainQueue_, config_, preferences_, account_,
        app::makeSenderFactory(mainQueue_,
                               [this](const std::shared_ptr<app::SenderAdapter>& sender) {
                                   sender_ = sender;
                                   senders_.push_back(sender->sender());
                               }),
        capture_, dialogs_, clipboard_, host_, watch_});
}

// The delegate first, so nothing it started can reach the ports after them.
AppHost::~AppHost() {
    app_.reset();
    feed_.reset();
}

void AppHost::launch(std::function<void(std::optional<std::string>)> ready) {
    if (app_->state().paired()) account_.onFirstListing = std::move(ready);
    app_->applicationDidFinishLaunching();
    if (!app_->state().paired()) ready(std::nullopt);
}

bool AppHost::sendersGone() const {
    return std::all_of(senders_.begin(), senders_.end(), [](const auto& sender) { return sender.expired(); });
}

}  // namespace quorvel::cli
