#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/preferences.h"
#include "temp_home.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

class PreferencesTest : public ::testing::Test {
protected:
    fs::path directory() const { return paths_.root() / "config" / "Quorvel"; }
    fs::path file() const { return directory() / "preferences.json"; }
    void writeFile(const std::string& text) const {
        fs::create_directories(directory());
        std::ofstream(file(), std::ios::binary) << text;
    }
    std::vector<fs::path> entries() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(directory())) found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }
    static std::string read(const fs::path& path) {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    test::TempHome paths_;
};

TEST_F(PreferencesTest, KeysAreKeptSideBySide) {
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    ASSERT_TRUE(Preferences::setString("deviceName", "Studio “A”"));
    ASSERT_TRUE(Preferences::setString("session", "s1"));
    ASSERT_TRUE(Preferences::setString("source", "direct"));
    ASSERT_TRUE(Preferences::setString("session", "s2"));
    EXPECT_EQ(Preferences::string("deviceName"), "Studio “A”");
    EXPECT_EQ(Preferences::string("session"), "s2");
    ASSERT_TRUE(Preferences::remove("session"));
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    EXPECT_EQ(Preferences::string("source"), "direct");
    // Only the file itself: no temporary left behind.
    EXPECT_EQ(entries(), std::vector<fs::path>{"preferences.json"});
}

TEST_F(PreferencesTest, WrongTypesReadAsAbsentAndOtherKeysSurviveWrites) {
    writeFile(R"({"deviceName":["x"],"session":7,"source":null,"future":{"a":1}})");
    EXPECT_EQ(Preferences::string("deviceName"), std::nullopt);
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    ASSERT_TRUE(Preferences::setString("session", "s1"));
    EXPECT_NE(read(file()).find(R"("future":{"a":1})"), std::string::npos);
}

TEST_F(PreferencesTest, ANumberTooLargeForADoubleDoesNotCorruptTheFile) {
    // Read as infinity; it used to be written back as Infinity, which is not JSON.
    writeFile(R"({"future":1e400,"other":[-1e999]})");
    ASSERT_TRUE(Preferences::setString("session", "s1"));
    EXPECT_EQ(Preferences::string("session"), "s1");
    EXPECT_EQ(read(file()), R"({"future":null,"other":[null],"session":"s1"})");
    EXPECT_EQ(entries(), std::vector<fs::path>{"preferences.json"});
}

TEST_F(PreferencesTest, CorruptFileReadsAsEmptyAndIsMovedAsideOnWrite) {
    const std::string corrupt = "{\"deviceName\": \"cut off";
    writeFile(corrupt);
    EXPECT_EQ(Preferences::string("deviceName"), std::nullopt);
    EXPECT_EQ(read(file()), corrupt) << "reading never touches the file";

    ASSERT_TRUE(Preferences::setString("session", "s1"));
    EXPECT_EQ(Preferences::string("session"), "s1");
    const auto names = entries();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "preferences.json");
    EXPECT_TRUE(names[1].string().starts_with("preferences.json.corrupt-")) << names[1];
    EXPECT_EQ(read(directory() / names[1]), corrupt);

    // A second corruption in the same second gets its own name.
    writeFile("[]");
    ASSERT_TRUE(Preferences::setString("session", "s2"));
    EXPECT_EQ(entries().size(), 3u);
}

TEST_F(PreferencesTest, HostileFilesNeverCrash) {
    writeFile(std::string(Preferences::kMaxBytes + 1, ' '));
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    writeFile(std::string(50000, '[') + std::string(50000, ']'));
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    fs::remove(file());
    fs::create_directory(file());
    EXPECT_EQ(Preferences::string("session"), std::nullopt);
    EXPECT_TRUE(Preferences::setString("session", "s1")) << "the directory is moved aside like a corrupt file";
    EXPECT_EQ(Preferences::string("session"), "s1");
}

TEST_F(PreferencesTest, TextThatIsNotUTF8IsRefusedAndTheFileStaysReadable) {
    ASSERT_TRUE(Preferences::setString("session", "s1"));
    EXPECT_FALSE(Preferences::setString("deviceName", "bad \xff name"));
    EXPECT_EQ(Preferences::string("session"), "s1");
}

}  // namespace
}  // namespace quorvel
