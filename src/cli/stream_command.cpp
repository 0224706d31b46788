// quorvel stream: the headless broadcaster, the application core without a screen.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/app_host.h"
#include "cli/commands.h"
#include "cli/main_queue.h"
#include "config/preferences.h"
#include "runtime/if_alive.h"
#include "runtime/stop_signals.h"

namespace quorvel::cli {

namespace {

struct StreamOptions {
    std::string session;
    std::string source;
    double seconds = 0;
};

// One channel of the meter: a bar of 20 cells over -60 … 0 dBFS and the figure.
std::string meterChannel(float db) {
    constexpr int cells = 20;
    const float floor = app::LevelMeter::floorDb;
    const int lit = std::clamp(static_cast<int>((db - floor) / -floor * cells + 0.5f), 0, cells);
    char figure[16];
    if (db <= floor) std::snprintf(figure, sizeof figure, "  -inf");
    else std::snprintf(figure, sizeof figure, "%6.1f", static_cast<double>(db));
    return std::string(static_cast<std::size_t>(lit), '#') + std::string(static_cast<std::size_t>(cells - lit), '-') +
           figure;
}

class Broadcast : public std::enable_shared_from_this<Broadcast> {
public:
    Broadcast(Executor& mainQueue, Finish finish, const StreamOptions& options)
        : mainQueue_(mainQueue), finish_(std::move(finish)), options_(options),
          host_(std::make_unique<AppHost>(mainQueue, std::cout)), terminal_(::isatty(STDOUT_FILENO) != 0) {}

    void start() {
        host_->app().onMenuChanged =
            ifAlive(weak_from_this(), [this](const app::MenuModel& menu) { menuChanged(menu); });
        // As the running broadcast does, a relay out of reach is waited for.
        host_->launch(ifAlive(weak_from_this(), [this](std::optional<std::string> failure) { ready(failure); }), true);
        // Kept until the end: a second Ctrl-C while the connection closes does not cut it.
        stopSignals_ = std::make_unique<StopSignals>(mainQueue_, ifAlive(weak_from_this(), [this] { stop(0); }));
        if (options_.seconds > 0)
            limit_ = mainQueue_.postAfter(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(options_.seconds)),
                                          ifAlive(weak_from_this(), [this] { stop(0); }));
    }

private:
    app::AppDelegate& app() { return host_->app(); }

    void ready(const std::optional<std::string>& failure) {
        if (failure) return stop(fail(*failure));
        const auto& state = app().state();
        if (!state.paired()) return stop(fail("This computer is not connected to a server: run \u201Cquorvel pair\u201D first."));
        if (!options_.source.empty()) app().chooseSource(options_.source);
        if (!app().state().source)
            return stop(fail("No audio source: choose one with --source (\u201Cquorvel sources\u201D lists them)."));
        if (!state.selectedLink())
            return stop(fail(options_.session.empty()
                                 ? "No link chosen: give --session ID (\u201Cquorvel links\u201D lists them)."
                                 : "There is no link " + options_.session + " (\u201Cquorvel links\u201D lists them)."));
        app().toggleStream();
        app().meter().setShown(true);
        meterTimer_ = postRepeating(mainQueue_, terminal_ ? Duration(std::chrono::milliseconds(100)) : Duration(std::chrono::seconds(1)),
                                    ifAlive(weak_from_this(), [this] { printMeter(); }));
    }

    void menuChanged(const app::MenuModel& menu) {
        // One line per change: the title label ("ON AIR", "Off"), then the status and
        // detail lines as the menu shows them.
        std::string lines = menu.title.text().empty() ? "" : "[" + menu.title.text() + "]";
        for (const std::string* line : {&menu.statusText, &menu.detailText}) {
            if (line->empty()) continue;
            if (!lines.empty()) lines += lines.back() == ']' ? " " : " \u2014 ";
            lines += *line;
        }
        if (!lines.empty()) lines += '\n';
        if (!lines.empty() && lines != shown_) {
            shown_ = lines;
            clearMeterLine();
            std::cout << lines << std::flush;
        }
        // The broadcast ended without us (the link was ended, the computer revoked):
        // stop once the application has finished handling it.
        if (onAir_ && app().state().mode == app::Mode::off)
            mainQueue_.post(ifAlive(weak_from_this(), [this] { stop(1); }));
        onAir_ = app().state().mode == app::Mode::air;
    }

    void printMeter() {
        const float left = app().meter().dbLeft();
        const float right = app().meter().dbRight();
        peakLeft_ = std::max(peakLeft_, left);
        peakRight_ = std::max(peakRight_, right);
        const std::string line = "L " + meterChannel(left) + "  R " + meterChannel(right) + " dBFS";
        if (terminal_) {
            std::cout << '\r' << line << std::flush;
            meterShown_ = true;
        } else {
            std::cout << line << '\n';
        }
    }

    void clearMeterLine() {
        if (meterShown_) std::cout << "\r\033[K";
        meterShown_ = false;
    }

    // Stop order of the application: capture, then the sender, which closes with 1000;
    // then wait for its connection to finish closing before the queue stops.
    void stop(int status) {
        if (stopping_) return;
        stopping_ = true;
        limit_.cancel();
        meterTimer_.cancel();
        clearMeterLine();
        auto sender = host_->system().sender();
        app().onMenuChanged = nullptr;
        app().applicationWillTerminate();
        if (sender) {
            const auto produced = sender->produced();
            const auto dropped = sender->dropped();
            std::cout << "Packets: " << produced - dropped << " sent, " << dropped << " dropped.\n";
            char levels[96];
            std::snprintf(levels, sizeof levels, "Peak level: L %.1f dBFS, R %.1f dBFS.\n",
                          static_cast<double>(peakLeft_), static_cast<double>(peakRight_));
            std::cout << levels << std::flush;
        }
        sender.reset();
        host_->system().whenSendersClosed(std::chrono::seconds(3), ifAlive(weak_from_this(), [this, status] {
                                              host_.reset();
                                              stopSignals_.reset();
                                              finish_(status);
                                          }));
    }

    Executor& mainQueue_;
    Finish finish_;
    StreamOptions options_;
    std::unique_ptr<AppHost> host_;
    const bool terminal_;
    std::string shown_;
    bool onAir_ = false;
    bool stopping_ = false;
    bool meterShown_ = false;
    float peakLeft_ = app::LevelMeter::silenceDb;
    float peakRight_ = app::LevelMeter::silenceDb;
    std::unique_ptr<StopSignals> stopSignals_;
    TimerHandle limit_;
    TimerHandle meterTimer_;
};

int runStream(const StreamOptions& options) {
    if (!options.source.empty() && !SourceChoice::fromKey(options.source)) {
        std::cerr << "Not a source key: " << options.source << " (\u201Cquorvel sources\u201D lists them).\n";
        return 2;
    }
    // Choosing the link is remembered, as choosing it in the menu would be.
    if (!options.session.empty() && !Preferences::setString("session", options.session))
        return fail("The preferences could not be written.");
    std::shared_ptr<Broadcast> broadcast;
    const int status = runMainQueue([&](Executor& mainQueue, Finish finish) {
        broadcast = std::make_shared<Broadcast>(mainQueue, std::move(finish), options);
        broadcast->start();
    });
    return status;
}

}  // namespace

Command addStreamCommand(CLI::App& app) {
    auto options = std::make_shared<StreamOptions>();
    auto* command = app.add_subcommand("stream", "Go on air without the tray: stream the chosen source to a link");
    command->add_option("--session", options->session, "The link to stream to (default: the one chosen last)");
    command->add_option("--source", options->source, "Source key, e.g. direct or 'input|1|UID' (default: the last)");
    command->add_option("--seconds", options->seconds, "Stop after this many seconds (default: until Ctrl-C)")
        ->check(CLI::PositiveNumber);
    return Command{command, [options] { return runStream(*options); }, Reads::configuration};
}

}  // namespace quorvel::cli
