#pragma once

#include <memory>
#include <vector>

#include "app/adapters/account_adapter.h"
#include "app/adapters/capture_adapter.h"
#include "app/adapters/headless_desktop.h"
#include "app/adapters/pipewire_application_feed.h"
#include "app/adapters/sender_adapter.h"
#include "app/adapters/settings_adapter.h"
#include "app/app_delegate.h"

namespace quorvel::app {

// The application core on this machine's real ports, shared by the command line and
// the tray; each front end brings its dialogs and clipboard.
//
// The constructor does what blocks (reads the configuration and with it the key
// store, probes the audio server, lists the devices, reads the PipeWire registry):
// the tray runs it off the GUI thread. Everything else is for the main queue.
class SystemApp {
public:
    struct FrontEnd {
        DialogsPort& dialogs;
        ClipboardPort& clipboard;
        AccountPort* account = nullptr;  // in place of the real one (which it may wrap)
    };

    explicit SystemApp(Executor& mainQueue);
    // The delegate first, so nothing it started reaches the ports after them.
    ~SystemApp();
    SystemApp(const SystemApp&) = delete;
    SystemApp& operator=(const SystemApp&) = delete;

    // Creates the delegate (once); it loads the configuration read above.
    AppDelegate& createDelegate(FrontEnd frontEnd);
    AppDelegate& app() { return *delegate_; }

    AccountPort& account() { return account_; }
    SystemCapture& capture() { return capture_; }
    // The sender of the running broadcast, if any.
    std::shared_ptr<SenderAdapter> sender() const { return sender_.lock(); }
    // Runs `done` once every sender made so far has finished closing its connection
    // (after applicationWillTerminate: with code 1000), or after `limit`.
    void whenSendersClosed(Duration limit, Task done);

private:
    // Reads the configuration again after a pairing, before the delegate does: the
    // pairing stored the new key on the network's thread.
    class PairingReloads final : public AccountPort {
    public:
        PairingReloads(AccountPort& inner, SystemConfig& config, Executor& mainQueue)
            : inner_(inner), config_(config), mainQueue_(mainQueue) {}
        void pair(const Config& c, const std::string& p, const std::string& n, Completion<std::string> f) override;
        void createLink(const Config& c, const std::string& k, const std::string& n, const std::string& p,
                        std::int64_t m, Completion<StreamLink> f) override {
            inner_.createLink(c, k, n, p, m, std::move(f));
        }
        void listLinks(const Config& c, const std::string& k, Completion<std::vector<StreamLink>> f) override {
            inner_.listLinks(c, k, std::move(f));
        }
        void endLink(const Config& c, const std::string& k, const std::string& id, Completion<Done> f) override {
            inner_.endLink(c, k, id, std::move(f));
        }

    private:
        AccountPort& inner_;
        SystemConfig& config_;
        Executor& mainQueue_;
        std::shared_ptr<int> alive_ = std::make_shared<int>();  // completions check it
    };

    bool sendersGone() const;
    void waitForSenders(std::chrono::steady_clock::time_point deadline, Task done);

    Executor& mainQueue_;
    SystemConfig config_;
    SystemPreferences preferences_;
    AccountAdapter account_;
    std::unique_ptr<PairingReloads> pairing_;
    SystemCapture capture_;
    SystemHost host_;
    ApplicationWatch watch_;
    std::unique_ptr<PipeWireApplicationFeed> feed_;
    std::weak_ptr<SenderAdapter> sender_;
    std::vector<std::weak_ptr<Sender>> senders_;
    TimerHandle closeWait_;
    std::shared_ptr<AppDelegate> delegate_;
};

}  // namespace quorvel::app
