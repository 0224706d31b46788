#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "capture/input_device_capture.h"
#include "capture/input_devices.h"
#include "support/allocation_counter.h"

namespace quorvel {
namespace {

InputDevice device(int channels, std::vector<std::string> names) {
    return InputDevice{7, "uid", "Device", channels, std::move(names)};
}

TEST(PairTitleTest, NumbersAndNames) {
    EXPECT_EQ(device(2, {"1", "2"}).pairTitle(1), "Inputs 1\u20132");
    EXPECT_EQ(device(3, {"Mic L", "Mic R", "3"}).pairTitle(1), "Inputs 1\u20132 (Mic L, Mic R)");
    EXPECT_EQ(device(3, {"Mic L", "Mic R", "3"}).pairTitle(3), "Input 3");
    EXPECT_EQ(device(3, {"1", "2", "Talkback"}).pairTitle(3), "Input 3 (Talkback, Talkback)");
    EXPECT_EQ(device(2, {"1", "Bus 2"}).pairTitle(1), "Inputs 1\u20132 (1, Bus 2)");
    EXPECT_EQ(device(8, {"1", "2", "3", "4", "5", "6", "7", "8"}).pairTitle(7), "Inputs 7\u20138");
    // Out of range is taken into the device's channels rather than read past the names.
    EXPECT_EQ(device(2, {"1", "2"}).pairTitle(9), "Input 2");
    EXPECT_EQ(device(2, {"1", "2"}).pairTitle(0), "Inputs 1\u20132");
}

TEST(InputDeviceCaptureTest, FirstChannelBelowOneIsOne) {
    EXPECT_EQ(InputDeviceCapture("x", 0).firstChannel(), 1);
    EXPECT_EQ(InputDeviceCapture("x", -3).firstChannel(), 1);
    InputDeviceCapture idle("x", 1);
    idle.stop();
    idle.stop();
}

TEST(InputDeviceCaptureTest, Locate) {
    using P = InputDeviceCapture::Position;
    const std::array<int, 2> layout{2, 6};
    EXPECT_EQ(InputDeviceCapture::locate(1, layout), (P{0, 1}));
    EXPECT_EQ(InputDeviceCapture::locate(2, layout), (P{1, 0}));
    EXPECT_EQ(InputDeviceCapture::locate(7, layout), (P{1, 5}));
    EXPECT_EQ(InputDeviceCapture::locate(8, layout), (P{0, 0}));
    EXPECT_EQ(InputDeviceCapture::locate(0, std::span<const int>()), (P{0, 0}));
}

TEST(InputDeviceCaptureTest, InterleavesTheShorterOfUnequalBuffers) {
    std::vector<float> two(512 * 2);
    std::vector<float> six(256 * 6);
    for (std::size_t i = 0; i < 512; ++i) two[2 * i + 1] = static_cast<float>(i);
    for (std::size_t i = 0; i < 256; ++i) six[6 * i] = -static_cast<float>(i);
    const std::array<AudioBuffer, 2> input{AudioBuffer{2, 512 * 8, two.data()}, AudioBuffer{6, 256 * 24, six.data()}};
    std::vector<float> scratch;
    const auto frames = InputDeviceCapture::interleave(input, {0, 1}, {1, 0}, scratch);
    ASSERT_EQ(frames, 256);
    EXPECT_EQ(scratch[2 * 255], 255.0f);
    EXPECT_EQ(scratch[2 * 255 + 1], -255.0f);

    // Once grown, the scratch is reused without allocating.
    test::AllocationCounter counter;
    EXPECT_EQ(InputDeviceCapture::interleave(input, {0, 1}, {1, 0}, scratch), 256);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(InputDeviceCaptureTest, DropsMalformedBlocks) {
    std::vector<float> data(64, 0.5f);
    std::vector<float> scratch;
    const auto run = [&](std::initializer_list<AudioBuffer> buffers, InputDeviceCapture::Position left,
                         InputDeviceCapture::Position right) {
        const std::vector<AudioBuffer> list(buffers);
        return InputDeviceCapture::interleave(list, left, right, scratch);
    };
    EXPECT_EQ(run({}, {0, 0}, {0, 1}), 0);                                           // no buffers
    EXPECT_EQ(run({{2, 64 * 4, data.data()}}, {0, 0}, {1, 0}), 0);                   // index past the list
    EXPECT_EQ(run({{0, 64 * 4, data.data()}}, {0, 0}, {0, 0}), 0);                   // zero channels
    EXPECT_EQ(run({{2, 64 * 4, nullptr}}, {0, 0}, {0, 1}), 0);                       // no data
    EXPECT_EQ(run({{2, 7, data.data()}}, {0, 0}, {0, 1}), 0);                        // less than a frame
    EXPECT_EQ(run({{2, 0, data.data()}}, {0, 0}, {0, 1}), 0);                        // zero frames
    EXPECT_EQ(run({{2, 64 * 4, data.data()}}, {0, 0}, {0, 2}), 0);                   // offset past the channels
    EXPECT_EQ(run({{2, 17, data.data()}}, {0, 0}, {0, 1}), 2);                       // odd size: whole frames only
    EXPECT_EQ(run({{64, 64 * 4, data.data()}}, {0, 62}, {0, 63}), 1);                // 64 channels
}

}  // namespace
}  // namespace quorvel
