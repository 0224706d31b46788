#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

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
    void launch(std::function<void(std::optional<std::string> failure)> ready);

    app::AppDelegate& app() { return system_.app(); }
    app::SystemApp& system() { return system_; }

private:
    // Tells the host when the delegate's first link listing has come back.
    class ListingAccount final : public app::AccountPort {
    public:
        explicit ListingAccount(app::AccountPort& inner) : inner_(inner) {}
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
        app::AccountPort& inner_;
    };

    app::HeadlessDialogs dialogs_;
    app::MemoryClipboard clipboard_;
    app::SystemApp system_;
    ListingAccount account_;
};

}  // namespace quorvel::cli
