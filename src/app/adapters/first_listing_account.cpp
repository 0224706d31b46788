#include "app/adapters/first_listing_account.h"

#include <utility>

#include "net/sender.h"

namespace quorvel::app {

void FirstListingAccount::listLinks(const Config& config, const std::string& key,
                                    Completion<std::vector<StreamLink>> completion) {
    inner_.listLinks(config, key, [alive = std::weak_ptr<int>(alive_), this, config, key, completion](auto result) {
        if (alive.expired()) return completion(std::move(result));
        if (!result && result.error().temporary && onFirstListing && onWaiting) {
            const Duration delay = Sender::reconnectDelay(failures_++);
            if (onWaiting) onWaiting(result.error().text, delay);
            retry_ = mainQueue_.postAfter(delay, [this, config, key, completion] { listLinks(config, key, completion); });
            return;
        }
        std::optional<std::string> failure;
        if (!result) failure = result.error().text;
        completion(std::move(result));
        if (auto first = std::exchange(onFirstListing, nullptr)) first(failure);
    });
}

}  // namespace quorvel::app
