#include "app/adapters/system_app.h"

#include <algorithm>

namespace quorvel::app {

void SystemApp::PairingReloads::pair(const Config& c, const std::string& p, const std::string& n,
                                     Completion<std::string> f) {
    inner_.pair(c, p, n, [alive = std::weak_ptr<int>(alive_), this, f = std::move(f)](
                             Expected<std::string, AccountFailure> result) {
        if (!result || alive.expired()) return f(std::move(result));
        config_.reload(mainQueue_, [f, result = std::move(result)] { f(result); });
    });
}

SystemApp::SystemApp(Executor& mainQueue)
    : mainQueue_(mainQueue), account_(mainQueue), capture_(mainQueue),
      feed_(PipeWireApplicationFeed::start(watch_, mainQueue)) {}

SystemApp::~SystemApp() {
    delegate_.reset();
    closeWait_.cancel();
    feed_.reset();
}

AppDelegate& SystemApp::createDelegate(FrontEnd frontEnd) {
    pairing_ = std::make_unique<PairingReloads>(frontEnd.account ? *frontEnd.account : account_, config_, mainQueue_);
    delegate_ = AppDelegate::create(AppPorts{
        mainQueue_, config_, preferences_, *pairing_,
        makeSenderFactory(mainQueue_,
                          [this](const std::shared_ptr<SenderAdapter>& sender) {
                              sender_ = sender;
                              senders_.push_back(sender->sender());
                          }),
        capture_, frontEnd.dialogs, frontEnd.clipboard, host_, watch_});
    return *delegate_;
}

bool SystemApp::sendersGone() const {
    return std::all_of(senders_.begin(), senders_.end(), [](const auto& sender) { return sender.expired(); });
}

void SystemApp::whenSendersClosed(Duration limit, Task done) {
    waitForSenders(mainQueue_.now() + limit, std::move(done));
}

void SystemApp::waitForSenders(std::chrono::steady_clock::time_point deadline, Task done) {
    if (sendersGone() || mainQueue_.now() >= deadline) return done();
    closeWait_ = mainQueue_.postAfter(std::chrono::milliseconds(10), [this, deadline, done = std::move(done)] {
        waitForSenders(deadline, done);
    });
}

}  // namespace quorvel::app
