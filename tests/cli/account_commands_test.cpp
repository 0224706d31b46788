#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "json/json.h"
#include "support/http_test_peer.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// Runs the real `quorvel` executable (tests run from the build directory) against a
// scripted server, with a home of its own and no Secret Service, so its key goes to
// the file store of that home.
class AccountCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = fs::absolute("src/quorvel");
        if (!fs::exists(binary_)) GTEST_SKIP() << "build the quorvel target first";
        fs::create_directories(home_ / "Library/Application Support/Quorvel");
        std::ofstream(home_ / "Library/Application Support/Quorvel/config.json")
            << R"({"server":")" << peer_.serverURL() << R"("})";
    }

    // `input` goes to standard input; standard output and error are collected together.
    test::CommandOutput run(const std::string& arguments, const std::string& input) const {
        const fs::path inputFile = home_ / "stdin";
        std::ofstream(inputFile, std::ios::binary) << input;
        const std::string command = "env HOME='" + home_.string() + "' XDG_CONFIG_HOME= XDG_DATA_HOME= no_proxy=127.0.0.1 " +
                                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DISPLAY= '" +
                                    binary_.string() + "' " + arguments + " <'" + inputFile.string() + "' 2>&1";
        return test::runCommand(command);
    }

    fs::path binary_;
    test::TempDir temp_{"quorvel-cli"};
    const fs::path& home_ = temp_.path();
    test::HttpTestPeer peer_;
};

TEST_F(AccountCommandsTest, PairReadsThePasswordFromStandardInputAndStoresTheKey) {
    peer_.reply(200, R"j({"key":"issued-key","name":"Studio B (2)"})j");
    auto paired = run("pair --name 'Studio B'", " secret pw\n");
    EXPECT_EQ(paired.status, 0) << paired.output;
    EXPECT_EQ(paired.output, "Done! Computer \u201CStudio B (2)\u201D is connected.\n");
    ASSERT_EQ(peer_.requests().size(), 1u);
    EXPECT_EQ(json::parseObject(peer_.requests()[0].body),
              (boost::json::object{{"password", " secret pw"}, {"name", "Studio B"}}));

    auto store = run("keystore", "");
    EXPECT_EQ(store.status, 0);
    EXPECT_NE(store.output.find("Key store: file " + home_.string() + "/.local/share/Quorvel/device-key"),
              std::string::npos)
        << store.output;
    EXPECT_NE(store.output.find("Device key: stored"), std::string::npos);

    // Later calls carry the stored key.
    peer_.reply(200, R"({"sessions":[{"id":"old","name":"Old","link":"l1","createdAt":1,"maxListeners":2},
                                     {"id":"new","name":"New","link":"l2","createdAt":2,"maxListeners":5,"listeners":3}]})");
    auto listed = run("links", "");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.output, "new\tNew\tlisteners: 3/5\tl2\nold\tOld\tlisteners: 0/2\tl1\n");
    EXPECT_EQ(json::parseObject(peer_.requests().back().body), (boost::json::object{{"key", "issued-key"}}));
}

TEST_F(AccountCommandsTest, FailuresPrintTheTextAndExitNonZero) {
    auto empty = run("pair", "\n");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.output, "Enter the studio password.\n");

    peer_.reply(401, "");
    auto wrong = run("pair", "nope\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.output, "Wrong studio password.\n");
    EXPECT_EQ(peer_.requests().size(), 1u);

    auto unpaired = run("links", "");
    EXPECT_EQ(unpaired.status, 1);
    EXPECT_EQ(unpaired.output, "This computer is not connected to a server yet. Run \u201Cquorvel pair\u201D first.\n");

    // A broken configuration file still falls back silently, but the tools that use it say so.
    const fs::path config = home_ / "Library/Application Support/Quorvel/config.json";
    std::ofstream(config) << R"({"server":)";
    auto broken = run("links", "");
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.output, "The configuration file " + config.string() +
                                 " could not be read (not valid JSON); its settings are ignored.\n" + unpaired.output);
    EXPECT_EQ(run("keystore", "").output.find("configuration file"), std::string::npos);
}

TEST_F(AccountCommandsTest, LinkInputIsCheckedBeforeAnythingIsSent) {
    peer_.reply(200, R"({"key":"issued-key"})");
    ASSERT_EQ(run("pair", "pw\n").status, 0);
    const auto sent = peer_.requests().size();

    EXPECT_EQ(run("links create '   '", "long enough\n").output, "Enter a name (up to 80 characters).\n");
    EXPECT_EQ(run("links create Mix", "abc\n").output, "The client password must be 4 to 100 characters.\n");
    auto tooMany = run("links create Mix --max 6", "long enough\n");
    EXPECT_EQ(tooMany.output, "Choose how many listeners (1 to 5).\n");
    EXPECT_EQ(tooMany.status, 1);
    EXPECT_EQ(peer_.requests().size(), sent);

    peer_.reply(200, R"({"session":{"id":"s1","name":"Mix","link":"https://l/s1","maxListeners":5}})");
    auto created = run("links create '  Mix '", "  pass\n");
    EXPECT_EQ(created.status, 0);
    EXPECT_EQ(created.output, "Link for the client\nMix \u00B7 listeners: up to 5\nhttps://l/s1\nid: s1\n");
    EXPECT_EQ(json::parseObject(peer_.requests().back().body),
              (boost::json::object{{"key", "issued-key"}, {"name", "Mix"}, {"password", "  pass"}, {"maxListeners", 5}}));

    peer_.reply(404, R"({"error":"not_found"})");
    auto ended = run("links end s1", "");
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(ended.output, "This link no longer exists.\n");
    EXPECT_EQ(peer_.requests().back().target, "/api/device/sessions/s1/end");
}

}  // namespace
}  // namespace quorvel
