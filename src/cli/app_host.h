#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/adapters/account_adapter.h"
#include "app/adapters/capture_adapter.h"
#include "app/adapters/headless_desktop.h"
#include "app/adapters/pipewire_application_feed.h"
#include "app/adapters/sender_adapter.h"
#include "app/adapters/settings_adapter.h"
#include "app/app_delegate.h"

namespace quorvel::cli {

// The application core with this machine's real ports, run without a screen: what
// `quorvel stream` and `quorvel status` drive. Main queue only.
class AppHost {
public:
    // Dialog messages go to `messages`.
    AppHost(Executor& mainQueue, std::ostream& messages);
    ~AppHost();
    AppHost(const AppHost&) = delete;
    AppHost& operator=(const AppHost&) = delete;

    // Launches the application; `ready` runs once the links have been listed (at once
    // when the computer is not paired), with the listing's failure text if it failed.
    void launch(std::function<void(std::optional<std::string> failure)> ready);

    app::AppDelegate& app() { return *app_; }
    // The sender of the running broadcast, if any.
    std::shared_ptr<app::SenderAdapter> sender() const { return sender_.lock(); }
    // Whether every sender made so far has finished closing its connection.
    bool sendersGone() const;

private:
    // Tells the host when the delegate's first link listing has come back.
    class ListingAccount final : public app::AccountPort {
    public:
        explicit ListingAccount(Executor& mainQueue) : inner_(mainQueue) {}
        void pair(const Config& c, const std::string& p, const std::string& n, Completion<std::string> f) override {
            inner_.pair(c, p, n, std::move(f));
        }
        void createLink(const Config& c, const std::string& k, const std::string& n, const std::string& p,
                        std::int64_t m, Completion<app::StreamLink> f) override {
            inner_.createLink(c, k, n, p, m, std::move(f));
        }
        void listLinks(const Config& c, const std::string& k, Completion<std::vector<app::StreamLink>> f) override;
        void endLink(const Config& c, const std::string& k, const std::string& id, Completion<Done> f) override {
            inner_.endLink(c, k, id, std::move(f));
        }
        std::function<void(std::optional<std::string> failure)> onFirstListing;

    private:
        app::AccountAdapter inner_;
    };

    Executor& mainQueue_;
    app::SystemConfig config_;
    app::SystemPreferences preferences_;
    ListingAccount account_;
    app::SystemCapture capture_;
    app::HeadlessDialogs dialogs_;
    app::MemoryClipboard clipboard_;
    app::SystemHost host_;
    app::ApplicationWatch watch_;
    std::unique_ptr<app::PipeWireApplicationFeed> feed_;
    std::weak_ptr<app::SenderAdapter> sender_;
    std::vector<std::weak_ptr<Sender>> senders_;
    std::shared_ptr<app::AppDelegate> app_;
};

}  // namespace quorvel::cli
