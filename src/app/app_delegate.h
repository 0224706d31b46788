#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/account_port.h"
#include "app/app_state.h"
#include "app/application_watch.h"
#include "app/capture_port.h"
#include "app/desktop_ports.h"
#include "app/level_meter.h"
#include "app/menu_model.h"
#include "app/sender_port.h"
#include "app/settings_port.h"
#include "app/status_text.h"
#include "runtime/executor.h"
#include "runtime/if_alive.h"

namespace quorvel::app {

// What the application core talks to. All of it is used on the main queue only.
struct AppPorts {
    Executor& mainQueue;
    ConfigPort& config;
    PreferencesPort& preferences;
    AccountPort& account;
    SenderFactory makeSender;
    CapturePort& capture;
    DialogsPort& dialogs;
    ClipboardPort& clipboard;
    HostPort& host;
    ApplicationWatch& watch;
};

// The application core: all state, the broadcast control that ties a sender, a
// capture source and an audio pipeline together, the menu model rendered from the
// state, the account dialogs and the Pro Tools watch. No GUI toolkit: a front end
// renders menu() after every onMenuChanged and forwards the user's actions.
//
// Main queue only. Every callback handed out holds the delegate weakly.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
public:
    using Mode = app::Mode;

    static constexpr std::string_view productName = "Velmora Remote Studio";
    static constexpr Duration captureRetryInterval = std::chrono::seconds(3);
    static constexpr Duration linkRefreshInterval = std::chrono::seconds(30);
    static constexpr Duration proToolsStartDelay = std::chrono::seconds(3);

    // Loads the configuration and the saved link selection.
    static std::shared_ptr<AppDelegate> create(AppPorts ports);

    // Lifecycle.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Broadcast control.
    void toggleStream();

    // Menu.
    void refresh();
    void menuWillOpen();  // the status menu, not its submenus
    std::vector<MenuItem> sourceMenu() const;  // rebuilt each time the submenu opens
    void chooseSource(const std::optional<std::string>& represented);
    // Runs an item's action with its represented value; `quit` is the front end's.
    void perform(MenuAction action, const std::optional<std::string>& represented);

    // Account and links.
    void refreshLinks();
    void pairComputer();
    void setupStream();
    void selectSession(const std::optional<std::string>& represented);
    void copySessionLink(const std::optional<std::string>& represented);
    void copySessionPassword(const std::optional<std::string>& represented);
    void copyShownLink();
    void copyShownPassword();
    void endSession(const std::optional<std::string>& represented);

    // Pro Tools watch.
    void appLaunched(const std::string& applicationIdentity);
    void appQuit(const std::string& applicationIdentity);

    const AppState& state() const { return state_; }
    const MenuModel& menu() const { return menu_; }
    LevelMeter& meter() { return meter_; }

    // After every refresh().
    std::function<void(const MenuModel&)> onMenuChanged;

private:
    explicit AppDelegate(AppPorts ports);

    void restoreSource();
    void startBroadcast();
    void stopBroadcast();
    void startCapture();
    void restartCapture();
    void stopCapture();  // and its pipeline
    void connectSenderEvents(const std::shared_ptr<SenderPort>& sender, const std::string& sessionId);
    void captureStarted(const std::shared_ptr<SenderPort>& sender, const std::shared_ptr<AudioSource>& source,
                        const std::shared_ptr<AudioPipeline>& pipeline, const std::optional<std::string>& error);
    void sessionEnded(bool fromCurrentSender, const std::string& sessionId);
    void revoked();
    void linksListed(std::vector<StreamLink> links);
    void clearSelection();
    const StreamLink* session(const std::optional<std::string>& represented) const;
    void showMessage(const std::string& text);
    void showLinkCreated(const StreamLink& link, const std::string& password);
    std::vector<MenuItem> menuItems(const StatusView& view) const;
    std::vector<MenuItem> sessionBlock() const;

    // Wraps `f` so that it runs only while this delegate exists; it gets the delegate first.
    template <typename F>
    auto weakly(F f) {
        return ifAlive(weak_from_this(), [this, f = std::move(f)](auto&&... args) {
            f(*this, std::forward<decltype(args)>(args)...);
        });
    }

    AppPorts ports_;
    AppState state_;
    MenuModel menu_;
    MenuTitle title_;
    LevelMeter meter_;
};

}  // namespace quorvel::app
