#include "app/app_delegate.h"

namespace quorvel::app {

namespace {

// Shown when neither a PipeWire nor a PulseAudio server answers.
constexpr std::string_view noCaptureMethodText =
    "Этот способ недоступен: звуковой сервер PipeWire или PulseAudio не отвечает — выберите вход звуковой карты";

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(AppPorts ports) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(ports));
}

AppDelegate::AppDelegate(AppPorts ports) : ports_(ports), meter_(ports.mainQueue) {
    state_.config = ports_.config.load();
    state_.selectedSessionId = ports_.preferences.string("session");
}

void AppDelegate::applicationDidFinishLaunching() {
    restoreSource();
    refreshLinks();
    ports_.watch.subscribe(weakly([](AppDelegate& d, const std::string& id) { d.appLaunched(id); }),
                           weakly([](AppDelegate& d, const std::string& id) { d.appQuit(id); }));
    refresh();
}

void AppDelegate::applicationWillTerminate() {
    stopBroadcast();
}

// A saved input choice is kept even when its device is absent; "direct" only where
// it can be captured, and it is also the default there.
void AppDelegate::restoreSource() {
    const bool directAvailable = ports_.capture.directAvailable();
    std::optional<SourceChoice> saved;
    if (auto key = ports_.preferences.string("source")) saved = SourceChoice::fromKey(*key);
    if (saved && (saved->kind() == SourceChoice::Kind::input || directAvailable)) {
        state_.source = saved;
    } else if (directAvailable) {
        state_.source = SourceChoice::direct();
    } else {
        state_.source.reset();
    }
}

void AppDelegate::toggleStream() {
    if (state_.mode == Mode::air) {
        state_.mode = Mode::off;
        stopBroadcast();
    } else if (state_.paired()) {
        state_.mode = Mode::air;
        startBroadcast();
    }
    refresh();
}

// Without a key or a listed, selected link the mode stays as the caller set it and
// no sender exists.
void AppDelegate::startBroadcast() {
    const StreamLink* link = state_.selectedLink();
    if (!state_.paired() || !link) return;
    auto sender = ports_.makeSender(state_.config, *state_.config.senderKey, link->id);
    if (!sender) return;
    connectSenderEvents(sender, link->id);
    state_.sender = sender;
    sender->start();

    startCapture();

    state_.sessionTimer.cancel();
    state_.sessionTimer = postRepeating(ports_.mainQueue, linkRefreshInterval,
                                        weakly([](AppDelegate& d) { d.refreshLinks(); }));
    state_.retryTimer.cancel();
    state_.retryTimer = postRepeating(ports_.mainQueue, captureRetryInterval, weakly([](AppDelegate& d) {
        if (d.state_.mode == Mode::air && !d.state_.capture) d.startCapture();
    }));
}

void AppDelegate::connectSenderEvents(const std::shared_ptr<SenderPort>& sender, const std::string& sessionId) {
    // Reports of a sender that was stopped meanwhile must not overwrite what the
    // current broadcast shows; the sender is held weakly to tell.
    const std::weak_ptr<SenderPort> from = sender;
    const auto isCurrent = [from](const AppDelegate& d) {
        auto s = from.lock();
        return s && s == d.state_.sender;
    };
    SenderEvents events;
    events.onSessionEnded = weakly([isCurrent, sessionId](AppDelegate& d) { d.sessionEnded(isCurrent(d), sessionId); });
    events.onRevoked = weakly([](AppDelegate& d) { d.revoked(); });
    events.onState = weakly([isCurrent](AppDelegate& d, SenderState state) {
        if (!isCurrent(d)) return;
        d.state_.netState = std::move(state);
        d.refresh();
    });
    events.onListeners = weakly([isCurrent](AppDelegate& d, std::int64_t count) {
        if (!isCurrent(d)) return;
        d.state_.listeners = count;
        d.refresh();
    });
    sender->setEvents(std::move(events));
}

// A late report from an earlier broadcast leaves the running one alone and forgets
// the selection only if it still names the ended link.
void AppDelegate::sessionEnded(bool fromCurrentSender, const std::string& sessionId) {
    if (fromCurrentSender) {
        if (state_.mode == Mode::air) {
            state_.mode = Mode::off;
            stopBroadcast();
            refresh();
        }
        clearSelection();
    } else if (state_.selectedSessionId == sessionId) {
        clearSelection();
    }
    refreshLinks();
}

void AppDelegate::revoked() {
    ports_.config.deleteDeviceKey();
    state_.config.senderKey.reset();
    state_.mode = Mode::off;
    stopBroadcast();
    refresh();
}

void AppDelegate::clearSelection() {
    state_.selectedSessionId.reset();
    ports_.preferences.remove("session");
}

// Timers, then capture, then sender. A capture start still in flight finds the
// sender gone when it completes and stops its source.
void AppDelegate::stopBroadcast() {
    state_.sessionTimer.cancel();
    state_.sessionTimer = {};
    state_.retryTimer.cancel();
    state_.retryTimer = {};
    stopCapture();
    if (state_.sender) state_.sender->stop();
    state_.sender.reset();
    state_.netState = {};
    state_.listeners = 0;
    state_.sampleRate = 0;
    state_.problem.reset();
}

void AppDelegate::stopCapture() {
    if (state_.capture) state_.capture->stop();
    state_.capture.reset();
    state_.pipeline.reset();
}

void AppDelegate::startCapture() {
    if (state_.mode != Mode::air || state_.capture || state_.starting || !state_.sender || !state_.source) return;
    std::shared_ptr<SenderPort> sender = state_.sender;

    std::shared_ptr<AudioSource> source = ports_.capture.make(*state_.source);
    if (!source) {
        state_.problem = std::string(noCaptureMethodText);
        refresh();
        return;
    }

    auto pipeline = std::make_shared<AudioPipeline>(sender->packetSink(), ports_.mainQueue);
    pipeline->onLevel = weakly([](AppDelegate& d, float left, float right, std::int64_t rate) {
        if (d.state_.mode != Mode::air) return;
        d.meter_.push(left, right);
        if (rate != d.state_.sampleRate) {
            d.state_.sampleRate = rate;
            d.refresh();
        }
    });
    pipeline->onProblem = weakly([](AppDelegate& d, std::optional<std::string> text) {
        if (text == d.state_.problem) return;
        d.state_.problem = std::move(text);
        d.refresh();
    });

    source->onAudio = [pipeline](AudioBufferList buffers, std::int64_t frames, const CaptureFormat& format) {
        pipeline->process(buffers, frames, format);
    };
    // Called on the source's thread: hop to the main queue.
    source->onRestartNeeded = [restart = weakly([](AppDelegate& d) { d.restartCapture(); }),
                               &queue = ports_.mainQueue] { queue.post(restart); };

    state_.starting = true;
    source->start(weakly([sender, source, pipeline](AppDelegate& d, std::optional<std::string> error) {
        d.captureStarted(sender, source, pipeline, error);
    }));
}

void AppDelegate::captureStarted(const std::shared_ptr<SenderPort>& sender, const std::shared_ptr<AudioSource>& source,
                                 const std::shared_ptr<AudioPipeline>& pipeline,
                                 const std::optional<std::string>& error) {
    state_.starting = false;
    if (state_.mode != Mode::air || state_.sender != sender) {
        source->stop();
        return;
    }
    if (error) {
        // Left absent, so the retry timer tries again.
        source->stop();
        state_.problem = error;
    } else {
        state_.capture = source;
        state_.pipeline = pipeline;
        state_.problem.reset();
    }
    refresh();
}

void AppDelegate::restartCapture() {
    if (state_.mode != Mode::air) return;
    stopCapture();
    startCapture();
}

}  // namespace quorvel::app
