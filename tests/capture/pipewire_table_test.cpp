#include <gtest/gtest.h>

#include <thread>

#include "audio_server.h"
#include "capture/property_reader.h"
#include "capture/stream_description.h"
#include "capture/system_audio_objects.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// The audio object table as the private server fills it, with one player running.
TEST(PipeWireTable, AnswersTheSelectors) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    const int player = test::startPlayer("com.avid.ProTools.Table", 0.25);
    std::shared_ptr<const TableAudioObjects> objects;
    std::vector<AudioObjectID> streams;
    for (int i = 0; i < 100 && streams.empty(); ++i) {
        std::this_thread::sleep_for(50ms);
        objects = systemAudioObjects();
        streams = PropertyReader(*objects, audio_object::system).readIDs(selector::processObjectList).value();
    }
    test::killPlayer(player);
    ASSERT_EQ(streams.size(), 1u);

    const PropertyReader system(*objects, audio_object::system);
    const auto speakers = system.read<AudioObjectID>(selector::defaultSystemOutputDevice);
    ASSERT_TRUE(speakers);
    const auto speakersUID = PropertyReader(*objects, *speakers).readString(selector::deviceUID);
    ASSERT_TRUE(speakersUID) << speakersUID.error().description();
    EXPECT_EQ(*speakersUID, "quorvel-test-speakers");

    const PropertyReader stream(*objects, streams[0]);
    const auto identity = stream.readString(selector::processBundleID);
    ASSERT_TRUE(identity) << identity.error().description();
    EXPECT_EQ(*identity, "com.avid.ProTools.Table");
    const auto playsInto = stream.readIDs(selector::processDevices, scope::output);
    ASSERT_TRUE(playsInto) << playsInto.error().description();
    EXPECT_EQ(*playsInto, std::vector<AudioObjectID>{*speakers});
    const auto format = stream.read<AudioStreamBasicDescription>(selector::tapFormat);
    ASSERT_TRUE(format) << format.error().description();  // a running stream has negotiated one
    EXPECT_EQ(format->mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format->mChannelsPerFrame, 2u);

    bool sawEight = false;
    const auto devices = system.readIDs(selector::devices);
    ASSERT_TRUE(devices);
    for (const AudioObjectID device : devices.value()) {
        const PropertyReader reader(*objects, device);
        if (*reader.readString(selector::deviceUID) != "quorvel-test-eight") continue;
        sawEight = true;
        EXPECT_EQ(*reader.readString(selector::name), "Quorvel Test Eight");
        EXPECT_EQ(*reader.read<double>(selector::nominalSampleRate), 48000.0);
        EXPECT_EQ(*reader.read<std::uint32_t>(selector::deviceIsAlive), 1u);
    }
    EXPECT_TRUE(sawEight);

    // The platform's statuses for what is not there.
    const auto noObject = PropertyReader(*objects, 999999).readString(selector::deviceUID);
    ASSERT_FALSE(noObject);
    EXPECT_EQ(noObject.error().code(), audio_status::badObject);
    const auto noIdentity = PropertyReader(*objects, *speakers).readString(selector::processBundleID);
    ASSERT_FALSE(noIdentity);
    EXPECT_EQ(noIdentity.error().code(), audio_status::unknownProperty);
}

}  // namespace
}  // namespace quorvel
