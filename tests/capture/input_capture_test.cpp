#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include <pipewire/pipewire.h>

#include "audio_server.h"
#include "capture/input_device_capture.h"
#include "capture/input_devices.h"
#include "support/allocation_counter.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

const InputDevice* findDevice(const std::vector<InputDevice>& devices, const std::string& uid) {
    for (const auto& device : devices)
        if (device.uid == uid) return &device;
    return nullptr;
}

TEST(InputDevicesOnServer, ListsTheTestDevices) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    const auto devices = InputDevices::list();
    const InputDevice* stereo = findDevice(devices, "quorvel-test-stereo");
    const InputDevice* eight = findDevice(devices, "quorvel-test-eight");
    const InputDevice* three = findDevice(devices, "quorvel-test-three");
    ASSERT_TRUE(stereo && eight && three);
    EXPECT_EQ(stereo->name, "Quorvel Test Stereo");
    EXPECT_EQ(stereo->channels, 2);
    EXPECT_EQ(stereo->pairTitle(1), "Inputs 1\u20132 (FL, FR)");
    EXPECT_EQ(eight->channels, 8);
    EXPECT_EQ(eight->pairTitle(1), "Inputs 1\u20132");  // AUX positions name nothing
    EXPECT_EQ(eight->pairTitle(7), "Inputs 7\u20138");
    EXPECT_EQ(three->channels, 3);
    EXPECT_EQ(three->pairTitle(3), "Input 3 (FC, FC)");
    // The output is no input device.
    EXPECT_EQ(findDevice(devices, "quorvel-test-speakers"), nullptr);
}

// Checks that the delivered stereo frames are device channels `left` and `right` of the
// counter signal, bit for bit and without a gap over at least `run` frames.
void expectCounterPair(const std::vector<float>& samples, int left, int right, std::size_t run) {
    std::size_t longest = 0;
    std::size_t current = 0;
    int previous = -1;  // phase of the frame before, -1 after a break
    std::size_t foreign = 0;
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        if (samples[i] == 0 && samples[i + 1] == 0) {  // silence before the signal flows
            current = 0;
            previous = -1;
            continue;
        }
        const auto l = test::counterPhase(samples[i], left);
        const auto r = test::counterPhase(samples[i + 1], right);
        if (!l || !r || *l != *r) {
            ++foreign;
            continue;
        }
        current = previous >= 0 && (previous + 1) % 4096 == *l ? current + 1 : 1;
        previous = *l;
        longest = std::max(longest, current);
    }
    EXPECT_EQ(foreign, 0u) << "frames that are not the device's samples";
    EXPECT_GE(longest, run);
}

struct PairCase {
    const char* uid;
    int first;
    int left;   // 0-based device channels expected
    int right;
};

class InputCaptureOnServer : public ::testing::TestWithParam<PairCase> {};

TEST_P(InputCaptureOnServer, DeliversThePairBitExact) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    const PairCase pair = GetParam();
    InputDeviceCapture capture(pair.uid, pair.first);
    test::Collector collector;
    collector.attach(capture);
    std::optional<std::optional<std::string>> result;
    capture.start([&](std::optional<std::string> problem) { result = problem; });
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(*result, std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(24000));
    capture.stop();
    EXPECT_EQ(collector.format(), (CaptureFormat{48000, 2, true}));
    EXPECT_EQ(collector.threadName(), "quorvel.input");
    expectCounterPair(collector.samples(), pair.left, pair.right, 9600);
    EXPECT_EQ(collector.restarts(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, InputCaptureOnServer,
                         ::testing::Values(PairCase{"quorvel-test-stereo", 1, 0, 1},
                                           PairCase{"quorvel-test-eight", 7, 6, 7},
                                           PairCase{"quorvel-test-three", 3, 2, 2}));

std::optional<std::string> startResult(AudioSource& source) {
    std::optional<std::string> text;
    source.start([&](std::optional<std::string> problem) { text = problem; });
    return text;
}

TEST(InputCaptureOnServerAgain, SecondStartReplacesTheFirst) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    InputDeviceCapture capture("quorvel-test-stereo", 1);
    test::Collector collector;
    collector.attach(capture);
    EXPECT_EQ(startResult(capture), std::nullopt);
    EXPECT_EQ(startResult(capture), std::nullopt);
    EXPECT_TRUE(collector.waitForFrames(4800));
    capture.stop();
}

TEST(InputCaptureFailures, Texts) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    InputDeviceCapture missing("no-such-device", 1);
    EXPECT_EQ(startResult(missing), "Звуковая карта не найдена — выберите вход в меню «Источник звука»");
    missing.stop();
    InputDeviceCapture beyond("quorvel-test-stereo", 3);
    EXPECT_EQ(startResult(beyond), "У звуковой карты нет таких входов");
    beyond.stop();
    beyond.stop();
}

TEST(InputCaptureFailures, NoServerMeansNoDevice) {
    test::ScopedEnv noServer("PIPEWIRE_REMOTE", "/nonexistent/quorvel-no-server");
    InputDeviceCapture capture("quorvel-test-stereo", 1);
    EXPECT_EQ(startResult(capture), "Звуковая карта не найдена — выберите вход в меню «Источник звука»");
    capture.stop();
    EXPECT_TRUE(InputDevices::list().empty());
}

// A device of our own that the test can take away or re-clock.
class TemporaryDevice {
public:
    explicit TemporaryDevice(const std::string& name) {
        int error = 0;
        loop_ = PipeWireLoop::connect("quorvel.device", error);
        if (!loop_) return;
        PipeWireLoop::Lock lock(*loop_);
        pw_properties* properties = pw_properties_new(
            "factory.name", "support.null-audio-sink", "node.name", name.c_str(), "media.class",
            "Audio/Source/Virtual", "audio.position", "[ FL FR ]", "object.linger", "false", nullptr);
        proxy_ = static_cast<pw_proxy*>(
            pw_core_create_object(loop_->core(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &properties->dict, 0));
        pw_properties_free(properties);
        PipeWireGraph graph(*loop_);
        graph.onChange = [this] { loop_->signal(); };
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        const auto ready = [&] {
            const auto id = graph.nodeByName(name);
            return id && graph.inputChannels(*id).size() == 2;
        };
        graph.settle();
        while (!ready() && loop_->waitUntil(deadline)) {
        }
        graph.onChange = nullptr;
    }
    ~TemporaryDevice() { remove(); }
    void remove() {
        if (!loop_) return;
        {
            PipeWireLoop::Lock lock(*loop_);
            if (proxy_) pw_proxy_destroy(proxy_);
            proxy_ = nullptr;
            loop_->roundtrip(2s);
        }
        loop_.reset();
    }

private:
    std::unique_ptr<PipeWireLoop> loop_;
    pw_proxy* proxy_ = nullptr;
};

TEST(InputCaptureRestarts, WhenTheDeviceGoesAway) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    TemporaryDevice device("quorvel-test-vanishing");
    InputDeviceCapture capture("quorvel-test-vanishing", 1);
    test::Collector collector;
    collector.attach(capture);
    ASSERT_EQ(startResult(capture), std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(4800));  // the device is running, mid-callback
    device.remove();
    EXPECT_TRUE(collector.waitForRestart());
    capture.stop();
}

TEST(InputCaptureRestarts, WhenTheRateChanges) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    TemporaryDevice device("quorvel-test-reclocked");
    InputDeviceCapture capture("quorvel-test-reclocked", 1);
    test::Collector collector;
    collector.attach(capture);
    ASSERT_EQ(startResult(capture), std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(4800));
    EXPECT_EQ(collector.format()->sampleRate, 48000);
    test::shell("pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null");
    const bool restarted = collector.waitForRestart();
    test::shell("pw-metadata -n settings 0 clock.force-rate 0 >/dev/null");
    EXPECT_TRUE(restarted);
    capture.stop();
}

TEST(InputCaptureRealTime, SteadyStateAllocatesNothing) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    InputDeviceCapture capture("quorvel-test-eight", 3);
    EXPECT_EQ(test::steadyStateAllocations(capture, [&] { return startResult(capture) == std::nullopt; }), 0);
}

}  // namespace
}  // namespace quorvel
