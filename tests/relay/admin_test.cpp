#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "relay/admin.h"
#include "relay/secrets.h"
#include "relay/store.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

TEST(AdminTest, OfflineCommandsWorkOnTheDataDirectory) {
    TempDir dir;
    const auto empty = relay::admin::setStudioPassword(dir.path(), "", relay::secrets::Cost::minimum);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), "the studio password must not be empty");
    setStudioPassword(dir.path(), "first");
    setStudioPassword(dir.path(), "second");  // replaces

    std::string key;
    {
        RunningRelay relay(dir.path());
        EXPECT_EQ(httpPost(relay.httpBase() + "/api/pair", R"({"password":"first","name":"A"})").status, 401);
        key = pairDevice(relay, "second", "Tab\tName");
    }
    const auto devices = relay::admin::listDevices(dir.path());
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices.value().size(), 1u);
    const std::string table = relay::admin::formatDevices(devices.value());
    EXPECT_TRUE(table.starts_with("ID\tNAME\tCREATED\tREVOKED\n1\tTab Name\t20")) << table;
    EXPECT_TRUE(table.ends_with("\t-\n")) << table;

    EXPECT_EQ(relay::admin::revokeDevice(dir.path(), 7).value(), false);
    EXPECT_EQ(relay::admin::revokeDevice(dir.path(), 1).value(), true);
    const auto revoked = relay::admin::listDevices(dir.path());
    ASSERT_TRUE(revoked);
    EXPECT_TRUE(revoked.value()[0].revokedAtMs.has_value());
    EXPECT_FALSE(relay::admin::formatDevices(revoked.value()).ends_with("\t-\n"));
    EXPECT_EQ(table.find(key), std::string::npos);
}

TEST(AdminTest, AnUnusableDataDirectoryIsAClearError) {
    TempDir dir;
    const auto file = dir.path() / "file";
    std::ofstream(file) << "x";
    const auto devices = relay::admin::listDevices(file / "sub");
    ASSERT_FALSE(devices);
    EXPECT_NE(devices.error().find("cannot create the data directory"), std::string::npos) << devices.error();
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// A umask that lets everything through must not make the hashes readable.
TEST(AdminTest, ANewDataDirectoryAndItsDatabaseAreTheOwnersAloneEvenUnderUmask000) {
    TempDir dir;
    const auto data = dir.path() / "new" / "data";
    const mode_t saved = ::umask(0);
    {
        auto store = relay::Store::open(data);
        ASSERT_TRUE(store) << store.error();
        ASSERT_TRUE(store.value()->setStudioPasswordHash("hash"));  // writes the -wal and -shm files
        EXPECT_EQ(modeOf(data), 0700u);
        for (const char* file : {"relay.sqlite3", "relay.sqlite3-wal", "relay.sqlite3-shm"})
            EXPECT_EQ(modeOf(data / file), 0600u) << file;
    }
    ::umask(saved);
}

TEST(AdminTest, AnExistingDataDirectoryOpenToOthersIsRefusedAndLeftAsItIs) {
    TempDir dir;
    for (const mode_t mode : {01777, 0750, 0702}) {
        const auto data = dir.path() / std::to_string(mode);
        std::filesystem::create_directory(data);
        ASSERT_EQ(::chmod(data.c_str(), mode), 0);
        const auto devices = relay::admin::listDevices(data);
        ASSERT_FALSE(devices) << mode;
        EXPECT_NE(devices.error().find("the data directory " + data.string() + " is open to other users"),
                  std::string::npos)
            << devices.error();
        EXPECT_EQ(modeOf(data), mode);
        EXPECT_FALSE(std::filesystem::exists(data / "relay.sqlite3"));
    }

    // Closed to others but not 0700: used as it is; a database left 0644 is tightened.
    const auto data = dir.path() / "searchable";
    std::filesystem::create_directory(data);
    ASSERT_EQ(::chmod(data.c_str(), 0711), 0);
    std::ofstream(data / "relay.sqlite3").close();
    ASSERT_EQ(::chmod((data / "relay.sqlite3").c_str(), 0644), 0);
    ASSERT_TRUE(relay::admin::listDevices(data));
    EXPECT_EQ(modeOf(data), 0711u);
    EXPECT_EQ(modeOf(data / "relay.sqlite3"), 0600u);
}

}  // namespace
}  // namespace quorvel::test
