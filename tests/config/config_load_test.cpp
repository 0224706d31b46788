#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "config/config.h"
#include "config/file_key_store.h"
#include "config/keychain.h"
#include "config/preferences.h"
#include "temp_home.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string kBuiltIn = "wss://built-in.example/ws/send";

class ConfigLoadTest : public ::testing::Test {
protected:
    ConfigLoadTest() {
        Keychain::useStore(std::make_shared<FileKeyStore>((paths_.root() / "data" / "device-key").string()));
        fs::create_directories(configFile().parent_path());
    }
    ~ConfigLoadTest() override { Keychain::useStore(nullptr); }

    fs::path configFile() const { return paths_.home() / "Library/Application Support/Quorvel/config.json"; }
    void writeConfig(const std::string& text) const { std::ofstream(configFile(), std::ios::binary) << text; }

    test::TempHome paths_;
};

TEST_F(ConfigLoadTest, NothingAnywhereGivesTheDefault) {
    EXPECT_EQ(Config::load(""), (Config{Config::defaultServer, std::nullopt, std::nullopt}));
    EXPECT_EQ(Config::load(kBuiltIn).serverURL, kBuiltIn);
}

TEST_F(ConfigLoadTest, FileWinsOverBuiltInAndKeyStore) {
    ASSERT_TRUE(Keychain::set("stored-key"));
    ASSERT_TRUE(Preferences::setString("deviceName", "Studio Mac"));
    EXPECT_EQ(Config::load(kBuiltIn), (Config{kBuiltIn, "stored-key", "Studio Mac"}));

    writeConfig(R"({"server":"ws://file.example:8080/ws/send","key":"file-key","other":1})");
    EXPECT_EQ(Config::load(kBuiltIn), (Config{"ws://file.example:8080/ws/send", "file-key", "Studio Mac"}));

    // An empty "key" is a present, empty key that still overrides the stored one.
    writeConfig(R"({"key":""})");
    EXPECT_EQ(Config::load(kBuiltIn), (Config{kBuiltIn, "", "Studio Mac"}));
}

TEST_F(ConfigLoadTest, UnparsableFileServerFallsBackToTheDefaultNotTheBuiltIn) {
    for (const char* server : {R"("")", R"("ws://has space/ws/send")"}) {
        writeConfig(std::string(R"({"server":)") + server + "}");
        EXPECT_EQ(Config::load(kBuiltIn).serverURL, Config::defaultServer) << server;
    }
}

TEST_F(ConfigLoadTest, WrongTypesAreIgnoredKeyByKey) {
    ASSERT_TRUE(Keychain::set("stored-key"));
    writeConfig(R"({"server":5,"key":"file-key"})");
    EXPECT_EQ(Config::load(kBuiltIn), (Config{kBuiltIn, "file-key", std::nullopt}));
    writeConfig(R"({"server":"ws://f/ws/send","key":["k"]})");
    EXPECT_EQ(Config::load(kBuiltIn), (Config{"ws://f/ws/send", "stored-key", std::nullopt}));
    writeConfig(R"({"server":null,"key":true})");
    EXPECT_EQ(Config::load(""), (Config{Config::defaultServer, "stored-key", std::nullopt}));
}

TEST_F(ConfigLoadTest, BrokenOrHostileFilesAreIgnoredAsAWhole) {
    ASSERT_TRUE(Keychain::set("stored-key"));
    const Config expected{kBuiltIn, "stored-key", std::nullopt};
    const std::string nested = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = R"({"server":"ws://x/ws/send","a":)" + nested + "}";
    const std::string huge = R"({"server":"ws://huge/ws/send","pad":")" + std::string(2 * 1024 * 1024, 'x') + "\"}";
    for (const std::string& text : {std::string(R"(["server","ws://x/ws/send"])"), std::string("{\"server\":"),
                                    std::string("\x00\xff\xfe{}", 5), std::string("\"ws://x/ws/send\""),
                                    std::string(R"({"server":"ws://\xff/ws/send"})"), nested, deepObject, huge}) {
        writeConfig(text);
        EXPECT_EQ(Config::load(kBuiltIn), expected) << text.substr(0, 40);
        const auto problem = Config::fileProblem();
        ASSERT_TRUE(problem) << text.substr(0, 40);
        EXPECT_TRUE(problem->starts_with("The configuration file " + configFile().string() + " could not be read ("))
            << *problem;
    }
}

TEST_F(ConfigLoadTest, AFileStartingWithAByteOrderMarkIsRead) {
    EXPECT_EQ(Config::fileProblem(), std::nullopt);  // no file: nothing to say
    writeConfig("\xEF\xBB\xBF{\"server\":\"ws://bom.example/ws/send\"}");
    EXPECT_EQ(Config::load(kBuiltIn).serverURL, "ws://bom.example/ws/send");
    EXPECT_EQ(Config::fileProblem(), std::nullopt);
    writeConfig("\xEF\xBB\xBF\xEF\xBB\xBF{}");  // only one mark is a mark
    EXPECT_TRUE(Config::fileProblem());
}

TEST_F(ConfigLoadTest, UnreadablePathsAreIgnored) {
    ASSERT_TRUE(Keychain::set("stored-key"));
    const Config expected{kBuiltIn, "stored-key", std::nullopt};
    const auto path = configFile();

    fs::create_directory(path);  // a directory
    EXPECT_EQ(Config::load(kBuiltIn), expected);
    EXPECT_EQ(Config::fileProblem(), "The configuration file " + path.string() +
                                         " could not be read (not a readable file of at most 1 MB); its settings "
                                         "are ignored.");
    fs::remove(path);

    fs::create_symlink(path, path);  // a symlink loop
    EXPECT_EQ(Config::load(kBuiltIn), expected);
    fs::remove(path);

    fs::create_symlink("/dev/zero", path);  // endless bytes
    EXPECT_EQ(Config::load(kBuiltIn), expected);
    fs::remove(path);

    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // a FIFO nobody writes to must not block
    EXPECT_EQ(Config::load(kBuiltIn), expected);
}

TEST_F(ConfigLoadTest, DeviceNameOnlyWhenItIsText) {
    fs::create_directories(paths_.root() / "config" / "Quorvel");
    std::ofstream(paths_.root() / "config" / "Quorvel" / "preferences.json") << R"({"deviceName": 42})";
    EXPECT_EQ(Config::load("").deviceName, std::nullopt);
    ASSERT_TRUE(Preferences::setString("deviceName", ""));
    EXPECT_EQ(Config::load("").deviceName, "");
}

TEST_F(ConfigLoadTest, LoadWritesNothing) {
    writeConfig(R"({"server":"ws://f/ws/send"})");
    Config::load(kBuiltIn);
    EXPECT_FALSE(fs::exists(paths_.root() / "config"));
    EXPECT_FALSE(fs::exists(paths_.root() / "data"));
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(paths_.home())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1u);
}

}  // namespace
}  // namespace quorvel
