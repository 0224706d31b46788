#pragma once

// Test doubles for the application core's ports. Everything runs on the test's
// thread, which stands for the main queue; completions are handed to the test to
// deliver when it chooses.

#include <deque>
#include <functional>
#include <stdexcept>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "support/manual_executor.h"

namespace quorvel::app {

inline void PrintTo(const StatusView& v, std::ostream* os) {
    *os << "{\"" << v.status << "\", \"" << v.detail << "\", tint " << static_cast<int>(v.tint) << ", live "
        << v.live << "}";
}

}  // namespace quorvel::app

namespace quorvel::app::test {

class FakeConfig final : public ConfigPort {
public:
    Config stored{"wss://relay.test/ws/send", std::nullopt, std::nullopt};
    int loads = 0;
    int deletions = 0;

    Config load() override {
        ++loads;
        return stored;
    }
    void deleteDeviceKey() override {
        ++deletions;
        stored.senderKey.reset();
    }
};

class FakePreferences final : public PreferencesPort {
public:
    std::map<std::string, std::string, std::less<>> values;

    std::optional<std::string> string(std::string_view key) const override {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    void setString(std::string_view key, const std::string& value) override { values[std::string(key)] = value; }
    void remove(std::string_view key) override {
        auto it = values.find(key);
        if (it != values.end()) values.erase(it);
    }
};

class FakeAccount final : public AccountPort {
public:
    struct PairCall {
        Config config;
        std::string password, name;
        Completion<std::string> completion;
    };
    struct CreateCall {
        std::string key, name, password;
        std::int64_t maxListeners;
        Completion<StreamLink> completion;
    };
    struct ListCall {
        std::string key;
        Completion<std::vector<StreamLink>> completion;
    };
    struct EndCall {
        std::string key, id;
        Completion<Done> completion;
    };
    std::vector<PairCall> pairs;
    std::vector<CreateCall> creates;
    std::vector<ListCall> lists;
    std::vector<EndCall> ends;

    void pair(const Config& config, const std::string& password, const std::string& name,
              Completion<std::string> completion) override {
        pairs.push_back({config, password, name, std::move(completion)});
    }
    void createLink(const Config&, const std::string& key, const std::string& name, const std::string& password,
                    std::int64_t maxListeners, Completion<StreamLink> completion) override {
        creates.push_back({key, name, password, maxListeners, std::move(completion)});
    }
    void listLinks(const Config&, const std::string& key, Completion<std::vector<StreamLink>> completion) override {
        lists.push_back({key, std::move(completion)});
    }
    void endLink(const Config&, const std::string& key, const std::string& id, Completion<Done> completion) override {
        ends.push_back({key, id, std::move(completion)});
    }

    // Answers the newest list request.
    void answerList(std::vector<StreamLink> links) { lists.back().completion(std::move(links)); }
    void failList() { lists.back().completion(AccountFailure{"No connection to the server. Check your internet and try again."}); }
};

// Swallows packets; the sender double hands it to the pipeline.
class NullSink final : public PacketSink {
public:
    void send(Packet) override {}
    double serverNowMs() override { return 0; }
};

class FakeSender final : public SenderPort {
public:
    Config config;
    std::string key, sessionId;
    SenderEvents events;
    int starts = 0;
    int stops = 0;
    std::shared_ptr<NullSink> sink = std::make_shared<NullSink>();
    std::vector<std::string>* log = nullptr;

    void setEvents(SenderEvents e) override { events = std::move(e); }
    void start() override { ++starts; }
    void stop() override {
        ++stops;
        if (log) log->push_back("sender");
    }
    std::shared_ptr<PacketSink> packetSink() override { return sink; }
};

class FakeSource final : public AudioSource {
public:
    SourceChoice choice;
    std::vector<Completion> completions;
    int stops = 0;
    std::vector<std::string>* log = nullptr;

    explicit FakeSource(SourceChoice c) : choice(std::move(c)) {}
    void start(Completion completion) override { completions.push_back(std::move(completion)); }
    void stop() override {
        ++stops;
        if (log) log->push_back("capture");
    }

    // Completes the (only) start; the completion is released afterwards, as real sources do.
    void finishStart(std::optional<std::string> error = std::nullopt) {
        Completion c = std::move(completions.back());
        completions.pop_back();
        c(std::move(error));
    }
};

class FakeCapture final : public CapturePort {
public:
    bool direct = true;
    bool canMake = true;
    std::vector<InputDeviceEntry> devices;
    std::vector<std::shared_ptr<FakeSource>> made;

    std::shared_ptr<AudioSource> make(const SourceChoice& choice) override {
        if (!canMake) return nullptr;
        made.push_back(std::make_shared<FakeSource>(choice));
        return made.back();
    }
    bool directAvailable() override { return direct; }
    std::vector<InputDeviceEntry> inputDevices() override { return devices; }

    FakeSource& last() { return *made.back(); }
};

class FakeDialogs final : public DialogsPort {
public:
    std::vector<Alert> alerts;  // every plain alert, in order
    std::deque<int> alertAnswers;  // button per plain alert; 0 when none is queued
    std::deque<std::function<int(PairingDialog&)>> pairing;
    std::deque<std::function<int(SetupDialog&)>> setups;
    std::vector<SetupDialog> setupsShown;  // as each was shown, before the user typed
    std::vector<LinkCreatedDialog> linksShown;
    std::function<void(const LinkCreatedDialog&)> whileLinkShown;
    std::function<void()> duringAlert;  // what the main queue does while an alert is open

    int run(const Alert& alert) override {
        alerts.push_back(alert);
        if (duringAlert) duringAlert();
        if (alertAnswers.empty()) return 0;
        int answer = alertAnswers.front();
        alertAnswers.pop_front();
        return answer;
    }
    int run(PairingDialog& dialog) override { return next(pairing, dialog); }
    int run(SetupDialog& dialog) override {
        setupsShown.push_back(dialog);
        return next(setups, dialog);
    }
    void run(const LinkCreatedDialog& dialog) override {
        linksShown.push_back(dialog);
        if (whileLinkShown) whileLinkShown(dialog);
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const Alert& a : alerts) texts.push_back(a.message);
        return texts;
    }

private:
    template <typename D>
    static int next(std::deque<std::function<int(D&)>>& script, D& dialog) {
        if (script.empty()) return 1;  // cancelled
        auto step = std::move(script.front());
        script.pop_front();
        return step(dialog);
    }
};

class FakeClipboard final : public ClipboardPort {
public:
    std::vector<std::string> texts;
    void setText(const std::string& text) override { texts.push_back(text); }
};

class FakeHost final : public HostPort {
public:
    std::optional<std::string> name = "Studio A";
    std::optional<std::string> computerName() override { return name; }
};

inline StreamLink link(std::string id, double createdAt = 0) {
    return {id, "Link " + id, "https://relay.test/l/" + id, createdAt, 5, 0};
}

// A delegate on doubles, on virtual time.
struct AppHarness {
    quorvel::test::ManualExecutor queue;
    FakeConfig config;
    FakePreferences preferences;
    FakeAccount account;
    FakeCapture capture;
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeHost host;
    ApplicationWatch watch;
    std::vector<std::shared_ptr<FakeSender>> senders;
    std::shared_ptr<AppDelegate> delegate;
    int menuChanges = 0;

    // A start completion holds its source; starts a test left pending are dropped here.
    ~AppHarness() {
        for (auto& source : capture.made) source->completions.clear();
    }

    void create() {
        delegate = AppDelegate::create(AppPorts{
            queue, config, preferences, account,
            [this](const Config& c, const std::string& key, const std::string& sessionId) {
                auto sender = std::make_shared<FakeSender>();
                sender->config = c;
                sender->key = key;
                sender->sessionId = sessionId;
                senders.push_back(sender);
                return std::shared_ptr<SenderPort>(sender);
            },
            capture, dialogs, clipboard, host, watch});
        delegate->onMenuChanged = [this](const MenuModel&) { ++menuChanges; };
    }
    void launch() {
        if (!delegate) create();
        delegate->applicationDidFinishLaunching();
    }
    // Paired, with links "a" (selected) and "b" listed.
    void launchPairedWithLink() {
        config.stored.senderKey = "device-key";
        config.stored.deviceName = "Studio A";
        preferences.values["session"] = "a";
        launch();
        account.answerList({link("a", 1), link("b", 2)});
    }
    // On air with a running capture.
    void goOnAir() {
        delegate->toggleStream();
        capture.last().finishStart();
    }

    const AppState& state() const { return delegate->state(); }
    FakeSender& sender() { return *senders.back(); }
    const MenuItem& item(MenuRole role) const {
        for (const MenuItem& i : delegate->menu().items)
            if (i.role == role) return i;
        throw std::logic_error("no such item");
    }
};

}  // namespace quorvel::app::test
