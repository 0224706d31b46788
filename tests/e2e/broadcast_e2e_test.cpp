// The broadcaster end to end: the application core with its real adapters, the real
// relay on loopback, the real private PipeWire server (scripts/with-test-services.sh),
// and `quorvel listen` as the user runs it. Skips when the audio server is not there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/adapters/system_app.h"
#include "audio/packet_format.h"
#include "capture/audio_sources.h"
#include "runtime/serial_queue.h"
#include "support/relay_harness.h"
#include "support/subprocess.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kClientPassword = "listen-e2e";

// Sample n of channel c of the test devices: (c + 1)/16 + (n mod 4096)/65536.
float counterSample(int channel, std::int64_t n) {
    return static_cast<float>(channel + 1) / 16.0f + static_cast<float>(n % 4096) / 65536.0f;
}

// Checks that the packets follow each other without a gap and that every frame is a
// frame of the test devices' counter signal, byte for byte as the encoder writes it
// (the counter itself may skip where the capture did); returns the frames checked.
std::int64_t expectCounterSignal(const std::vector<std::string>& packets) {
    std::optional<std::uint32_t> sequence;
    std::int64_t frames = 0;
    for (const auto& packet : packets) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(packet.data());
        const auto header = packet_format::readHeader({bytes, packet.size()});
        EXPECT_TRUE(header);
        if (!header) return frames;
        EXPECT_EQ(header->channels, 2);
        EXPECT_EQ(header->sampleRate, 48000u);
        if (sequence) {
            EXPECT_EQ(header->sequence, *sequence + 1);
        }
        sequence = header->sequence;
        const std::size_t count = (packet.size() - packet_format::kHeaderBytes) / 6;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* frame = bytes + packet_format::kHeaderBytes + 6 * i;
            const double left = packet_format::decodeSample(frame) / double{packet_format::kScale};
            const auto n = static_cast<std::int64_t>(std::lround((left - 1.0 / 16) * 65536)) & 4095;
            const float expected[2] = {counterSample(0, n), counterSample(1, n)};
            std::uint8_t encoded[6];
            float peakL = 0, peakR = 0;
            packet_format::encodeSamples(expected, 2, 2, encoded, peakL, peakR);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame), 6),
                      std::string(reinterpret_cast<const char*>(encoded), 6))
                << "frame " << frames;
            ++frames;
        }
    }
    return frames;
}

class BroadcastEndToEnd : public test::RelayFixture {
protected:
    void SetUp() override {
        if (!std::getenv("QUORVEL_AUDIO_SERVER_DIR") || AudioSources::reachableServer() != AudioSources::Server::pipeWire)
            GTEST_SKIP() << "the private audio server is not running (scripts/with-test-services.sh starts it)";
        test::RelayFixture::SetUp();
        // A home of this test's own for the configuration file and the preferences.
        setenv("HOME", home_.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_.path() / ".config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home_.path() / ".local/share").c_str(), 1);
        setenv("no_proxy", "127.0.0.1", 1);
        fs::create_directories(home_.path() / "Library/Application Support/Quorvel");
        std::ofstream(home_.path() / "Library/Application Support/Quorvel/config.json")
            << R"({"server":")" << relay_->wsUrl("/ws/send") << R"("})";
    }

    // Runs the main queue until `condition` holds; false after `within`.
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds within = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            context_.restart();
            context_.run_for(5ms);
        }
        return true;
    }

    template <typename T>
    T await(std::function<void(app::AccountPort::Completion<T>)> call) {
        std::optional<Expected<T, app::AccountFailure>> result;
        call([&](Expected<T, app::AccountFailure> r) { result.emplace(std::move(r)); });
        EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
        EXPECT_TRUE(result && *result) << (result && !*result ? result->error().text : "no answer");
        return result && *result ? **result : T{};
    }

    test::TempDir home_;
    boost::asio::io_context context_;
    AsioExecutor mainQueue_{context_};
};

TEST_F(BroadcastEndToEnd, PairsStreamsTheInputToListenersAndStopsWhenTheLinkIsEnded) {
    app::AccountAdapter account(mainQueue_);
    const std::string name =
        await<std::string>([&](auto done) { account.pair(Config::load(), kStudioPassword, "E2E Studio", done); });
    EXPECT_EQ(name, "E2E Studio");
    const Config config = Config::load();
    ASSERT_TRUE(config.senderKey);
    const auto link = await<app::StreamLink>([&](auto done) {
        account.createLink(config, *config.senderKey, "E2E", kClientPassword, 2, done);
    });
    ASSERT_FALSE(link.id.empty());

    // The application as the tray runs it, on the input pair 1–2 of the test device.
    std::ostringstream messages;
    app::HeadlessDialogs dialogs(messages);
    app::MemoryClipboard clipboard;
    auto system = std::make_unique<app::SystemApp>(mainQueue_);
    app::AppDelegate* delegate = &system->createDelegate({dialogs, clipboard});
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(runUntil([&] { return delegate->state().link(link.id) != nullptr; }));
    delegate->selectSession(link.id);
    delegate->chooseSource(SourceChoice::input("quorvel-test-stereo", 1).key());
    delegate->toggleStream();
    ASSERT_TRUE(runUntil([&] {
        return delegate->state().netState.kind == app::SenderState::Kind::connected && delegate->state().capture;
    })) << delegate->menu().statusText << " / " << delegate->menu().detailText;
    EXPECT_TRUE(delegate->menu().live);

    // A listener is counted and hears the device's signal, byte for byte.
    auto listener = test::listening(*relay_, link.id, kClientPassword);
    ASSERT_TRUE(runUntil([&] { return delegate->state().listeners == 1; })) << delegate->menu().statusText;
    std::vector<std::string> packets;
    ASSERT_TRUE(runUntil([&] {
        if (auto packet = listener->nextBinary(20ms)) packets.push_back(std::move(*packet));
        return packets.size() >= 25 || delegate->state().mode != app::Mode::air;
    }));
    ASSERT_EQ(delegate->state().mode, app::Mode::air) << delegate->menu().statusText;
    EXPECT_GE(expectCounterSignal(packets), 25 * 960);
    EXPECT_EQ(delegate->state().sampleRate, 48000);
    std::weak_ptr<app::SenderAdapter> madeSender = system->sender();
    EXPECT_GT(madeSender.lock()->produced(), 0);

    // Another client ends the link: the broadcast stops and forgets the selection.
    app::AccountAdapter otherClient(mainQueue_);
    await<app::AccountPort::Done>(
        [&](auto done) { otherClient.endLink(config, *config.senderKey, link.id, done); });
    ASSERT_TRUE(runUntil([&] { return delegate->state().mode == app::Mode::off; }));
    EXPECT_FALSE(delegate->state().sender);
    EXPECT_FALSE(delegate->state().capture);
    EXPECT_FALSE(delegate->state().selectedSessionId);
    EXPECT_FALSE(app::SystemPreferences().string("session"));
    EXPECT_TRUE(runUntil([&] { return madeSender.expired(); }));
    system.reset();
    // What the application's queues handed back (the capture's pipeline among it) is
    // released on the main queue: run it while that queue exists.
    context_.restart();
    while (context_.poll() > 0) {
    }
}

// What the user does from a shell, with the project's own sender inside `quorvel stream`:
// pair, create a link, stream into the relay and out to `quorvel listen`.
TEST_F(BroadcastEndToEnd, TheCommandLineStreamsIntoTheRelayAndOutToQuorvelListen) {
    const fs::path binary = fs::absolute("src/quorvel");
    if (!fs::exists(binary)) GTEST_SKIP() << "build the quorvel target first";
    const auto shell = [&](const std::string& command, const std::string& input = "") {
        const fs::path inputFile = home_.path() / "stdin";
        std::ofstream(inputFile) << input;
        const std::string line = "env HOME='" + home_.path().string() + "' XDG_CONFIG_HOME= XDG_DATA_HOME= " +
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DISPLAY= " + command + " <'" +
                                 inputFile.string() + "' 2>&1";
        return test::runCommand(line);
    };
    const std::string q = "'" + binary.string() + "'";
    auto paired = shell(q + " pair --name CLI", std::string(kStudioPassword) + "\n");
    ASSERT_EQ(paired.status, 0) << paired.output;
    auto created = shell(q + " links create Take --max 1", std::string(kClientPassword) + "\n");
    ASSERT_EQ(created.status, 0) << created.output;
    const auto idAt = created.output.find("id: ");
    const auto urlAt = created.output.find("http://127.0.0.1:");
    ASSERT_NE(idAt, std::string::npos);
    ASSERT_NE(urlAt, std::string::npos);
    const std::string id = created.output.substr(idAt + 4, created.output.find('\n', idAt) - idAt - 4);
    const std::string url = created.output.substr(urlAt, created.output.find('\n', urlAt) - urlAt);

    const fs::path wav = home_.path() / "take.wav";
    const std::string stream = q + " stream --session '" + id + "' --source '" +
                               SourceChoice::input("quorvel-test-stereo", 1).key() + "' --seconds 3";
    const std::string listen = "LINK_PW='" + std::string(kClientPassword) + "' " + q + " listen '" + url +
                               "' --password-env LINK_PW --seconds 4 -o '" + wav.string() + "'";
    auto both = shell("sh -c \"" + listen + " > '" + (home_.path() / "listen.out").string() + "' & " + stream +
                      "; wait\"");
    EXPECT_EQ(both.status, 0) << both.output;
    EXPECT_NE(both.output.find("ON AIR"), std::string::npos) << both.output;
    EXPECT_NE(both.output.find("Packets: "), std::string::npos) << both.output;
    std::stringstream heard;
    heard << std::ifstream(home_.path() / "listen.out").rdbuf();
    EXPECT_NE(heard.str().find(", lost 0 (0 ms, 0.00%)"), std::string::npos) << heard.str();
    EXPECT_EQ(heard.str().find("Received 0 packets"), std::string::npos) << heard.str();
    ASSERT_TRUE(fs::exists(wav));
    EXPECT_GT(fs::file_size(wav), 44u + 48000u * 6u);  // over a second of 24-bit stereo
}

}  // namespace
}  // namespace quorvel
