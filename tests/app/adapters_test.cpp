// The adapters between the application core and the real subsystems.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <pipewire/pipewire.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/adapters/capture_adapter.h"
#include "app/adapters/headless_desktop.h"
#include "app/adapters/machine_info.h"
#include "app/adapters/pipewire_application_feed.h"
#include "app/adapters/sender_adapter.h"
#include "capture/audio_sources.h"
#include "runtime/serial_queue.h"
#include "support/manual_executor.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

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

// What hostnamectl shows as the pretty host name, quoting and escapes undone.
TEST(SystemHost, PrefersThePrettyHostNameOfMachineInfo) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"Lennart's Laptop\"\n", "Lennart's Laptop"},
        {"PRETTY_HOSTNAME='Studio \"A\" $1'", "Studio \"A\" $1"},
        {R"(PRETTY_HOSTNAME="Say \"hi\" \$5 \\ \x \`")", R"(Say "hi" $5 \ \x `)"},
        {"PRETTY_HOSTNAME=Plain\\ Name  \t\n", "Plain Name"},
        {"PRETTY_HOSTNAME=\"Two \\\nLines\"", "Two Lines"},
        {"PRETTY_HOSTNAME='Mixed'\" parts\"\\ too", "Mixed parts too"},
        {"# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Too\nICON_NAME=computer\n  PRETTY_HOSTNAME = \"Spaced\"",
         "Spaced"},
        {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
        {"PRETTY_HOSTNAME=\"Студия №1\"\r\n", "Студия №1"},
        {"PRETTY_HOSTNAME=Good\nPRETTY_HOSTNAME=\xff\n", "Good"},  // not UTF-8: ignored
        {"PRETTY_HOSTNAME=Gone\nPRETTY_HOSTNAME=\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"\"", std::nullopt},
        {"PRETTY_HOSTNAMEX=No\nPRETTY_HOSTNAME\nCHASSIS=laptop", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(prettyHostName(text), expected) << text;

    test::TempDir dir;
    const auto file = dir.path() / "machine-info";
    char kernelName[256] = {};
    ASSERT_EQ(::gethostname(kernelName, sizeof kernelName - 1), 0);
    EXPECT_EQ(SystemHost(file.string()).computerName(), std::string(kernelName));  // no file
    std::ofstream(file) << "PRETTY_HOSTNAME=\"Control Room\"\n";
    EXPECT_EQ(SystemHost(file.string()).computerName(), "Control Room");
    std::ofstream(file) << "PRETTY_HOSTNAME=\n";
    EXPECT_EQ(SystemHost(file.string()).computerName(), std::string(kernelName));
}

// A PipeWire client of this process under an application identity: connected, and
// playing only when asked to. Stream nodes carry their own identity when given one.
class NativeClient {
public:
    explicit NativeClient(const std::string& identity) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("quorvel.test", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, pw_properties_new(PW_KEY_APP_ID, identity.c_str(), nullptr), 0);
        pw_thread_loop_unlock(loop_);
    }
    ~NativeClient() {
        pw_thread_loop_lock(loop_);
        streams_.clear();
        if (core_) pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    NativeClient(const NativeClient&) = delete;
    NativeClient& operator=(const NativeClient&) = delete;

    bool connected() const { return core_ != nullptr; }
    void play(const std::string& streamIdentity = "") {
        pw_thread_loop_lock(loop_);
        auto* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", nullptr);
        if (!streamIdentity.empty()) pw_properties_set(props, PW_KEY_APP_ID, streamIdentity.c_str());
        auto* stream = pw_stream_new(core_, "quorvel-test-stream", props);
        if (stream) {
            streams_.emplace_back(stream, &pw_stream_destroy);
            pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, PW_STREAM_FLAG_NONE, nullptr, 0);
        }
        pw_thread_loop_unlock(loop_);
    }
    void stopPlaying() {
        pw_thread_loop_lock(loop_);
        streams_.erase(streams_.begin());
        pw_thread_loop_unlock(loop_);
    }

private:
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::vector<std::unique_ptr<pw_stream, void (*)(pw_stream*)>> streams_;
};

// The registry feed with the private audio server; only Pro Tools identities are
// recorded, as the watch's handlers do.
class ApplicationFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("QUORVEL_AUDIO_SERVER_DIR") || AudioSources::reachableServer() != AudioSources::Server::pipeWire)
            GTEST_SKIP() << "the private audio server is not running";
        feed_ = PipeWireApplicationFeed::start(watch_, queue_);
        ASSERT_TRUE(feed_);
        const auto record = [](std::vector<std::string>& into) {
            return [&into](const std::string& identity) {
                if (AudioSources::isProTools(identity)) into.push_back(identity);
            };
        };
        watch_.subscribe(record(launched), record(quit));
    }
    void TearDown() override { feed_.reset(); }

    bool runUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            context_.restart();
            context_.run_for(10ms);
        }
        return condition();
    }

    std::vector<std::string> launched, quit;

private:
    boost::asio::io_context context_;
    AsioExecutor queue_{context_};
    ApplicationWatch watch_;
    std::unique_ptr<PipeWireApplicationFeed> feed_;
};

TEST_F(ApplicationFeedTest, ReportsAPlayerUnderAnIdentityAsLaunchAndQuit) {
    const char* dir = std::getenv("QUORVEL_AUDIO_SERVER_DIR");
    const char* script = std::getenv("QUORVEL_AUDIO_SERVER_SCRIPT");
    ASSERT_TRUE(script);
    const std::string identity = "com.avid.ProTools.FeedTest";
    const auto started = test::runCommand("'" + std::string(script) + "' player '" + dir + "' " + identity + " 0.1");
    ASSERT_EQ(started.status, 0);
    const long pid = std::atol(started.output.c_str());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(runUntil([&] { return launched == std::vector<std::string>{identity}; }));

    ::kill(static_cast<pid_t>(-pid), SIGTERM);
    EXPECT_TRUE(runUntil([&] { return quit == std::vector<std::string>{identity}; }));
    EXPECT_EQ(launched.size(), 1u);
}

// An application that stops playing but stays connected is still running: only its
// disconnection is a quit.
TEST_F(ApplicationFeedTest, AConnectedClientWithoutAStreamStillRuns) {
    const std::string identity = "com.avid.ProTools.IdleTest";
    const std::string marker = "com.avid.ProTools.Marker";
    auto client = std::make_unique<NativeClient>(identity);
    ASSERT_TRUE(client->connected());
    ASSERT_TRUE(runUntil([&] { return launched == std::vector<std::string>{identity}; }));

    client->play();
    client->stopPlaying();
    // The server handles one connection's requests in order, so once the marker stream
    // is reported, the first stream's end has been seen too.
    client->play(marker);
    ASSERT_TRUE(runUntil([&] { return launched.size() == 2; }));
    EXPECT_EQ(launched, (std::vector<std::string>{identity, marker}));
    EXPECT_TRUE(quit.empty());

    client.reset();
    EXPECT_TRUE(runUntil([&] { return quit.size() == 2; }));
    std::sort(quit.begin(), quit.end());
    EXPECT_EQ(quit, (std::vector<std::string>{identity, marker}));
}

}  // namespace
}  // namespace quorvel::app
