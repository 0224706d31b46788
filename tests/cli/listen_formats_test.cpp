// `quorvel listen --format` against the real relay: what it records from FLAC is the
// PCM listener's recording, sample for sample; from Opus, a 48 kHz recording as long.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "json/json.h"
#include "support/music_signal.h"
#include "support/relay_harness.h"
#include "support/subprocess.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::uint32_t wavRate(const std::string& wav) {
    std::uint32_t rate = 0;
    if (wav.size() >= 28) std::memcpy(&rate, wav.data() + 24, 4);
    return rate;
}

// The length of the samples the "data" chunk holds.
std::size_t dataBytes(const std::string& wav) {
    const auto at = wav.find("data");
    std::uint32_t size = 0;
    if (at != std::string::npos && at + 8 <= wav.size()) std::memcpy(&size, wav.data() + at + 4, 4);
    return size;
}

class ListenFormatsTest : public LinkFixture {
protected:
    ListenFormatsTest() : LinkFixture(5) {}
    void SetUp() override {
        binary_ = fs::absolute("src/quorvel");
        if (!fs::exists(binary_)) GTEST_SKIP() << "build the quorvel target first";
        LinkFixture::SetUp();
    }

    fs::path binary_;
    TempDir home_{"quorvel-listen-formats"};
};

TEST_F(ListenFormatsTest, FlacRecordsThePcmSampleForSampleAndOpusAt48kHz) {
    constexpr std::uint32_t kPackets = 100;
    for (const std::uint32_t rate : {44100u, 96000u}) {
        SCOPED_TRACE(rate);
        link_ = createLink(*relay_, key_, "listen", 5, "Take " + std::to_string(rate));
        const std::string url = relay_->httpBase() + "/l/" + link_;
        std::string listeners;
        for (const char* format : {"pcm", "flac", "opus:64"}) {
            const fs::path wav = home_.path() / (std::string(format).substr(0, 4) + std::to_string(rate) + ".wav");
            listeners += "'" + binary_.string() + "' listen '" + url + "' --password-env LINK_PW --seconds 6 --format " +
                         format + " -o '" + wav.string() + "' >/dev/null 2>&1 & ";
        }
        auto listening = std::async(std::launch::async, [&] {
            return runCommand("env HOME='" + home_.path().string() + "' LINK_PW=listen sh -c \"" + listeners + "wait\"");
        });
        auto broadcaster = onAir(*relay_, key_, link_);
        bool allThere = false;
        while (!allThere) {
            const auto count = broadcaster->nextOfType("listeners", std::chrono::seconds(5));
            ASSERT_TRUE(count) << "the three listeners did not join";
            allThere = json::integral(json::member(*json::parseObject(*count), "count")) == 3;
        }
        MusicSignal music(rate, 2);
        for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
            broadcaster->sendBinary(pcmPacket(music.next(), 2, rate, seq, ManualClock::kStartWallMs + seq * 20.0));
            // Twice as fast as live: a listener's queue at the relay holds a second of it.
            const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
            while (std::chrono::steady_clock::now() < next) broadcaster->pump(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(listening.get().status, 0);

        const std::string pcm = contents(home_.path() / ("pcm" + std::to_string(rate) + ".wav"));
        const std::string flac = contents(home_.path() / ("flac" + std::to_string(rate) + ".wav"));
        const std::string opus = contents(home_.path() / ("opus" + std::to_string(rate) + ".wav"));
        EXPECT_EQ(dataBytes(pcm), kPackets * rate / 50 * 2 * 3);
        EXPECT_TRUE(pcm == flac) << "the FLAC recording differs from the PCM one";
        EXPECT_EQ(wavRate(opus), 48000u);
        EXPECT_EQ(dataBytes(opus), kPackets * 960 * 2 * 3);
    }
}

}  // namespace
}  // namespace quorvel::test
