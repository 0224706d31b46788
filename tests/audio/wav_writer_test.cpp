#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "audio/wav_recorder.h"
#include "audio/wav_writer.h"
#include "support/temp_dir.h"

namespace quorvel {
namespace {

std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

class WavWriterTest : public ::testing::Test {
protected:
    test::TempDir temp_{"quorvel-wav"};
    const std::filesystem::path& dir_ = temp_.path();
};

TEST_F(WavWriterTest, TheFileIsValidAfterEveryWrite) {
    auto wav = WavWriter::create(dir_ / "a.wav", 48000, 2);
    ASSERT_TRUE(wav) << wav.error();
    auto header = readAll(dir_ / "a.wav");
    ASSERT_EQ(header.size(), 44u);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(header.begin() + 8, header.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(header, 24), 48000u);
    EXPECT_EQ(le32(header, 28), 48000u * 6);  // byte rate
    EXPECT_EQ(header[32], 6);                  // block align
    EXPECT_EQ(header[34], 24);                 // bits
    EXPECT_EQ(le32(header, 40), 0u);

    std::vector<std::uint8_t> frames(6 * 960);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<std::uint8_t>(i * 7);
    for (int packet = 1; packet <= 3; ++packet) {
        ASSERT_TRUE(wav.value()->write(frames));
        // Read while still open: a crash now would leave exactly this file.
        const auto bytes = readAll(dir_ / "a.wav");
        ASSERT_EQ(bytes.size(), 44u + packet * frames.size());
        EXPECT_EQ(le32(bytes, 4), 36u + packet * frames.size());
        EXPECT_EQ(le32(bytes, 40), packet * frames.size());
        EXPECT_TRUE(std::equal(frames.begin(), frames.end(), bytes.end() - static_cast<std::ptrdiff_t>(frames.size())));
    }
    EXPECT_EQ(wav.value()->frames(), 3u * 960);
    EXPECT_FALSE(wav.value()->write(std::vector<std::uint8_t>(5)));  // not whole frames
    EXPECT_FALSE(WavWriter::create(dir_ / "missing" / "b.wav", 48000, 2));
}

TEST_F(WavWriterTest, ARateChangeStartsTheNextFile) {
    WavRecorder recorder(dir_ / "take.wav");
    std::vector<std::string> messages;
    recorder.onMessage = [&](const std::string& message) { messages.push_back(message); };
    const std::vector<std::uint8_t> stereo(6 * 960), mono(3 * 882);
    ASSERT_TRUE(recorder.write({2, 48000, 0, 0}, stereo));
    ASSERT_TRUE(recorder.write({2, 48000, 1, 0}, stereo));
    ASSERT_TRUE(recorder.write({1, 44100, 0, 0}, mono));
    recorder.finish();
    EXPECT_EQ(recorder.files(), 2);
    EXPECT_EQ(readAll(dir_ / "take.wav").size(), 44u + 2 * stereo.size());
    const auto second = readAll(dir_ / "take-2.wav");
    ASSERT_EQ(second.size(), 44u + mono.size());
    EXPECT_EQ(le32(second, 24), 44100u);
    EXPECT_EQ(second[22], 1);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[1].find("44100 Hz"), std::string::npos);
}

TEST_F(WavWriterTest, FormatsTheHeaderCannotHoldAreRefused) {
    // 1,431,655,766 Hz stereo would need a byte rate of 2^33 + 4: it used to wrap to 4.
    EXPECT_FALSE(WavWriter::create(dir_ / "a.wav", 1431655766u, 2));
    EXPECT_FALSE(WavWriter::create(dir_ / "b.wav", 0xFFFFFFFFu, 1));
    EXPECT_FALSE(WavWriter::create(dir_ / "c.wav", 8000, 21846));  // 65,538-byte frames
    EXPECT_TRUE(WavWriter::create(dir_ / "d.wav", 1431655765u, 1));
    EXPECT_TRUE(WavWriter::create(dir_ / "e.wav", 1, 21845));

    // A packet from the network can carry any rate: the recorder says so instead.
    WavRecorder recorder(dir_ / "take.wav");
    const auto refused = recorder.write({2, 0xFFFFFFFFu, 0, 0}, std::vector<std::uint8_t>(6));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "invalid audio format");
}

}  // namespace
}  // namespace quorvel
