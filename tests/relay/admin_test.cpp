#include <gtest/gtest.h>

#include <fstream>

#include "relay/admin.h"
#include "relay/secrets.h"
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

}  // namespace
}  // namespace quorvel::test
