#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/account_port.h"
#include "runtime/executor.h"

namespace quorvel::app {

// Tells a front end when the first listing of the links has come back. One that cannot
// begin before (`quorvel stream`) sets onWaiting: until then a server out of reach is
// waited for the way the running broadcast waits for it (1, 2, 4, 8, then every 10 s);
// any other answer ends the wait. Everything else passes straight through. Main queue only.
class FirstListingAccount final : public AccountPort {
public:
    FirstListingAccount(AccountPort& inner, Executor& mainQueue) : inner_(inner), mainQueue_(mainQueue) {}
    ~FirstListingAccount() override { retry_.cancel(); }
    FirstListingAccount(const FirstListingAccount&) = delete;
    FirstListingAccount& operator=(const FirstListingAccount&) = delete;

    // Once: the first listing arrived, or failed for good (its text).
    std::function<void(std::optional<std::string> failure)> onFirstListing;
    // Before each wait: why, and how long. Unset: no waiting.
    std::function<void(const std::string& failure, Duration delay)> onWaiting;

    void pair(const Config& c, const std::string& p, const std::string& n, Completion<std::string> f) override {
        inner_.pair(c, p, n, std::move(f));
    }
    void createLink(const Config& c, const std::string& k, const std::string& n, const std::string& p,
                    std::int64_t m, Completion<StreamLink> f) override {
        inner_.createLink(c, k, n, p, m, std::move(f));
    }
    void listLinks(const Config& config, const std::string& key, Completion<std::vector<StreamLink>> f) override;
    void endLink(const Config& c, const std::string& k, const std::string& id, Completion<Done> f) override {
        inner_.endLink(c, k, id, std::move(f));
    }

private:
    AccountPort& inner_;
    Executor& mainQueue_;
    std::int64_t failures_ = 0;
    TimerHandle retry_;
    std::shared_ptr<int> alive_ = std::make_shared<int>();  // completions check it
};

}  // namespace quorvel::app
