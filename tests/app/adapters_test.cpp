// The adapters between the application core and the real subsystems.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "app/adapters/capture_adapter.h"
#include "app/adapters/headless_desktop.h"
#include "app/adapters/pipewire_application_feed.h"
#include "app/adapters/sender_adapter.h"
#include "capture/audio_sources.h"
#include "runtime/serial_queue.h"
#include "support/manual_executor.h"
#include "support/subprocess.h"

namespace quorvel::app {
namespace {

using namespace std::chrono_literals;

// A capture source that completes inside start(), as the real ones do, and keeps the
// completion it was given.
class SynchronousSource final : public AudioSource {
public:
    void start(Completion completion) override {
        kept = std::move(completion);
        kept(problem);
    }
    void stop() override { ++stops; }
    std::optional<std::string> problem;
    Completion kept;
    int stops = 0;
};

// Without its worker (gone) the source runs start and stop on the caller.
TEST(QueuedSource, DeliversTheStartCompletionLaterOnTheMainQueueAndLetsGoOfIt) {
    test::ManualExecutor queue;
    auto inner = std::make_shared<SynchronousSource>();
    inner->problem = "no device";
    auto source = std::make_shared<QueuedSource>([inner] { return inner; }, std::weak_ptr<SerialQueue>(), queue);
    int calls = 0;
    std::optional<std::string> seen;
    // The completion holds the source, as the application's does.
    source->start([&, hold = source](std::optional<std::string> problem) {
        ++calls;
        seen = problem;
    });
    EXPECT_EQ(calls, 0) << "delivered inside start()";
    queue.runPending();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, "no device");

    // The inner source still holds its wrapper; it no longer holds the completion,
    // so nothing keeps the source alive but us.
    const std::weak_ptr<QueuedSource> weak = source;
    source.reset();
    EXPECT_TRUE(weak.expired());
    inner->kept(std::nullopt);  // a second call from the source is ignored
    EXPECT_EQ(queue.runPending(), 0);
    EXPECT_EQ(calls, 1);
}

// Records the thread it is destroyed on.
struct ReleasedOn {
    explicit ReleasedOn(std::thread::id& where) : where(where) {}
    ~ReleasedOn() { where = std::this_thread::get_id(); }
    std::thread::id& where;
};

// The blocking part of a source, making, starting and stopping it, runs on the
// worker; the audio callbacks reach the inner source, and what they hold (the
// pipeline, made on the main queue) is let go of on the main queue.
TEST(QueuedSource, MakesStartsAndStopsTheInnerSourceOnItsWorkerAndReleasesTheCallbacksOnTheMainQueue) {
    boost::asio::io_context context;
    AsioExecutor mainQueue(context);
    auto worker = std::make_shared<SerialQueue>("quorvel.test");
    auto inner = std::make_shared<SynchronousSource>();
    std::vector<bool> onWorker;
    auto source = std::make_shared<QueuedSource>(
        [&] {
            onWorker.push_back(worker->isCurrentThread());
            return inner;
        },
        worker, mainQueue);
    int restarts = 0;
    std::thread::id releasedOn;
    source->onRestartNeeded = [&] { ++restarts; };
    source->onAudio = [held = std::make_shared<ReleasedOn>(releasedOn)](AudioBufferList, std::int64_t,
                                                                        const CaptureFormat&) {};
    bool completed = false;
    auto work = boost::asio::make_work_guard(context);
    source->start([&](std::optional<std::string> problem) {
        completed = !problem;
        context.stop();
    });
    context.run_for(5s);
    EXPECT_TRUE(completed);
    worker->drain();
    EXPECT_EQ(onWorker, std::vector<bool>{true});
    ASSERT_TRUE(inner->onRestartNeeded);
    EXPECT_TRUE(inner->onAudio);
    inner->onRestartNeeded();
    EXPECT_EQ(restarts, 1);

    source->stop();
    worker->drain();
    EXPECT_EQ(inner->stops, 1);
    inner.reset();  // the queued source's is the last
    source.reset();
    worker->drain();
    EXPECT_EQ(releasedOn, std::thread::id()) << "released before the main queue ran";
    context.restart();
    context.poll();
    EXPECT_EQ(releasedOn, std::this_thread::get_id());
}

TEST(SenderAdapter, MapsEveryConnectionStateOfTheSender) {
    using K = Sender::State::Kind;
    EXPECT_EQ(senderState(Sender::State::off()), SenderState{});
    EXPECT_EQ(senderState(Sender::State::connecting()).kind, SenderState::Kind::connecting);
    EXPECT_EQ(senderState(Sender::State::connected()).kind, SenderState::Kind::connected);
    EXPECT_EQ(senderState(Sender::State::reconnecting()).kind, SenderState::Kind::reconnecting);
    EXPECT_EQ(senderState(Sender::State{K::failed, "refused"}), SenderState::failed("refused"));
}

TEST(HeadlessDialogs, PrintsMessagesCancelsInputAndNeverPrintsTheLinkPassword) {
    std::ostringstream out;
    HeadlessDialogs dialogs(out);
    EXPECT_EQ(dialogs.run(Alert{"Link ended.", "", {"OK"}}), 0);
    PairingDialog pairing;
    EXPECT_EQ(dialogs.run(pairing), -1);
    SetupDialog setup;
    EXPECT_EQ(dialogs.run(setup), -1);
    LinkCreatedDialog created;
    created.alert.message = "Link for the client";
    created.link = "http://127.0.0.1/l/abc";
    created.password = "client secret";
    dialogs.run(created);
    EXPECT_EQ(out.str(), "Link ended.\nLink for the client\nhttp://127.0.0.1/l/abc\n");
}

// The registry feed with the private audio server: a player under a Pro Tools identity
// launches that application, its end quits it.
TEST(PipeWireApplicationFeed, ReportsAPlayerUnderAnIdentityAsLaunchAndQuit) {
    const char* dir = std::getenv("QUORVEL_AUDIO_SERVER_DIR");
    const char* script = std::getenv("QUORVEL_AUDIO_SERVER_SCRIPT");
    if (!dir || !script || AudioSources::reachableServer() != AudioSources::Server::pipeWire)
        GTEST_SKIP() << "the private audio server is not running";
    boost::asio::io_context context;
    AsioExecutor queue(context);
    ApplicationWatch watch;
    std::vector<std::string> launched, quit;
    auto feed = PipeWireApplicationFeed::start(watch, queue);
    ASSERT_TRUE(feed);
    watch.subscribe([&](const std::string& id) { launched.push_back(id); },
                    [&](const std::string& id) { quit.push_back(id); });
    const auto runUntil = [&](const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            context.restart();
            context.run_for(10ms);
        }
        return condition();
    };

    const std::string identity = "com.avid.ProTools.FeedTest";
    const auto started = test::runCommand("'" + std::string(script) + "' player '" + dir + "' " + identity + " 0.1");
    ASSERT_EQ(started.status, 0);
    const long pid = std::atol(started.output.c_str());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(runUntil([&] { return launched == std::vector<std::string>{identity}; }));

    ::kill(static_cast<pid_t>(-pid), SIGTERM);
    EXPECT_TRUE(runUntil([&] { return quit == std::vector<std::string>{identity}; }));
    EXPECT_EQ(launched.size(), 1u);
    feed.reset();
}

}  // namespace
}  // namespace quorvel::app
