#include <gtest/gtest.h>

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "config/file_key_store.h"
#include "config/keychain.h"
#include "config/secret_service_store.h"
#include "support/subprocess.h"
#include "temp_home.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Kind = KeyStoreProblem::Kind;

const std::string kNotUTF8("\x00\xff\xfe\x80 key", 8);

// Items under one (service, account) pair in the real Secret Service, locked ones included.
const SecretSchema kForeignSchema = {
    "org.example.Other",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

int countSecretItems(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    GList* items = secret_password_search_sync(&kForeignSchema, SECRET_SEARCH_ALL, nullptr, &error, "service",
                                               service.c_str(), "account", account.c_str(), nullptr);
    if (error != nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return -1;
    }
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

// Something other than us writing the same item under its own schema, with raw bytes.
void storeForeign(const std::string& service, const std::string& account, const std::string& bytes) {
    GError* error = nullptr;
    GHashTable* attributes =
        secret_attributes_build(&kForeignSchema, "service", service.c_str(), "account", account.c_str(), nullptr);
    SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream");
    secret_service_store_sync(nullptr, &kForeignSchema, attributes, SECRET_COLLECTION_DEFAULT, "other program", value,
                              nullptr, &error);
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    if (error != nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
}

// The same cases against each real store, through Keychain.
class KeyStoreContract : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        account_ = std::string("test-") + std::to_string(::getpid()) + "-" + info->name();
        for (auto& c : account_)
            if (c == '/') c = '-';
        if (GetParam() == "secret-service") {
            SecretServiceStore::Options options;
            options.account = account_;
            auto store = std::make_shared<SecretServiceStore>(options);
            if (auto probe = store->probe(); !probe)
                GTEST_SKIP() << "no Secret Service here (run under scripts/with-test-services.sh): "
                             << probe.error().detail;
            store_ = store;
        } else {
            store_ = std::make_shared<FileKeyStore>(paths_.root().string() + "/data/Quorvel/device-key");
        }
        Keychain::useStore(store_);
        Keychain::deleteKey();
    }
    void TearDown() override {
        if (store_) Keychain::deleteKey();
        Keychain::useStore(nullptr);
    }
    bool isSecretService() const { return GetParam() == "secret-service"; }

    test::TempHome paths_;
    std::string account_;
    std::shared_ptr<KeyStore> store_;
};

TEST_P(KeyStoreContract, NothingStored) {
    EXPECT_EQ(Keychain::get(), std::nullopt);
    EXPECT_FALSE(Keychain::lastProblem());
    Keychain::deleteKey();
    EXPECT_FALSE(Keychain::lastProblem());
    EXPECT_EQ(Keychain::get(), std::nullopt);
}

TEST_P(KeyStoreContract, ReplaceKeepsOneItemWithTheSecondKey) {
    EXPECT_TRUE(Keychain::set("first-key"));
    EXPECT_EQ(Keychain::get(), "first-key");
    EXPECT_TRUE(Keychain::set("second-key ✓"));
    EXPECT_EQ(Keychain::get(), "second-key ✓");
    if (isSecretService()) {
        EXPECT_EQ(countSecretItems("com.velmora.quorvel", account_), 1);
    }
}

TEST_P(KeyStoreContract, EmptyTextIsStoredButReadsAsNoKey) {
    EXPECT_TRUE(Keychain::set(""));
    auto bytes = store_->read();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, std::optional<std::string>(""));
    EXPECT_EQ(Keychain::get(), std::nullopt);
}

TEST_P(KeyStoreContract, BytesThatAreNotUTF8RoundTripButAreNoKey) {
    if (isSecretService())
        storeForeign("com.velmora.quorvel", account_, kNotUTF8);
    else
        ASSERT_TRUE(store_->write(kNotUTF8));
    auto bytes = store_->read();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, std::optional<std::string>(kNotUTF8));
    EXPECT_EQ(Keychain::get(), std::nullopt);
    // A pairing afterwards replaces the foreign item.
    EXPECT_TRUE(Keychain::set("fresh"));
    EXPECT_EQ(Keychain::get(), "fresh");
    if (isSecretService()) {
        EXPECT_EQ(countSecretItems("com.velmora.quorvel", account_), 1);
    }
}

TEST_P(KeyStoreContract, DeleteAfterSet) {
    ASSERT_TRUE(Keychain::set("key"));
    Keychain::deleteKey();
    EXPECT_EQ(Keychain::get(), std::nullopt);
    if (isSecretService()) {
        EXPECT_EQ(countSecretItems("com.velmora.quorvel", account_), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, KeyStoreContract, ::testing::Values("secret-service", "file"),
                         [](const auto& info) { return info.param == "file" ? "File" : "SecretService"; });

TEST(FileKeyStoreTest, FileIsReadableOnlyByTheUserAndReplacedWhole) {
    test::TempHome paths;
    const fs::path directory = paths.root() / "data" / "Quorvel";
    FileKeyStore store((directory / "device-key").string());
    ASSERT_TRUE(store.write("key-one"));
    ASSERT_TRUE(store.write("key-two"));

    struct stat info {};
    ASSERT_EQ(::stat((directory / "device-key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    EXPECT_EQ(*store.read(), std::optional<std::string>("key-two"));
}

TEST(FileKeyStoreTest, HostileKeyPathIsAProblemNotACrash) {
    test::TempHome paths;
    const fs::path path = paths.root() / "data" / "Quorvel" / "device-key";
    fs::create_directories(path);  // a directory where the file should be
    FileKeyStore store(path.string());
    auto read = store.read();
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, Kind::failed);
    EXPECT_FALSE(store.write("key"));
    EXPECT_FALSE(store.remove());

    Keychain::useStore(std::make_shared<FileKeyStore>(path.string()));
    EXPECT_EQ(Keychain::get(), std::nullopt);
    ASSERT_TRUE(Keychain::lastProblem());
    EXPECT_EQ(Keychain::lastProblem()->kind, Kind::failed);
    Keychain::useStore(nullptr);
}

TEST(FileKeyStoreTest, UnwritableDirectoryKeepsTheOldKey) {
    test::TempHome paths;
    const fs::path directory = paths.root() / "data" / "Quorvel";
    FileKeyStore store((directory / "device-key").string());
    ASSERT_TRUE(store.write("old"));
    fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(directory.c_str(), W_OK) == 0) GTEST_SKIP() << "running with privileges that ignore modes";
    EXPECT_FALSE(store.write("new"));
    EXPECT_EQ(*store.read(), std::optional<std::string>("old"));
}

// Runs in a fresh process (a "threadsafe" death test re-executes the binary), so the
// session bus it sees is the one set here, not one an earlier test connected to.
void probeWithoutSessionBus() {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvel-test-bus", 1);
    ::unsetenv("DISPLAY");
    test::TempHome paths;
    SecretServiceStore::Options options;
    options.timeout = std::chrono::milliseconds(2000);
    SecretServiceStore store(options);
    const auto started = std::chrono::steady_clock::now();
    auto probe = store.probe();
    const bool quick = std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1000);
    if (probe || probe.error().kind != Kind::unavailable || !quick) std::exit(1);

    // The automatic choice falls back to the 0600 file and says so.
    Keychain::useStore(nullptr);
    if (Keychain::store()->description().find("file " + paths.root().string() + "/data/Quorvel/device-key") ==
        std::string::npos)
        std::exit(2);
    if (!Keychain::set("fallback-key") || Keychain::get() != "fallback-key") std::exit(3);
    std::exit(0);
}

// Drops every method call it receives: a Secret Service that hangs, as a stopped daemon
// or an unanswered password prompt does.
GDBusMessage* dropCalls(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

// A session bus of this process's own, set as DBUS_SESSION_BUS_ADDRESS; only for a
// fresh process (a "threadsafe" death test), before anything connected to a bus.
struct PrivateBus {
    PrivateBus() {
        FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 </dev/null 2>/dev/null", "r");
        char line[512] = {};
        char pidLine[32] = {};
        if (daemon == nullptr || std::fgets(line, sizeof line, daemon) == nullptr ||
            std::fgets(pidLine, sizeof pidLine, daemon) == nullptr)
            std::exit(10);
        ::pclose(daemon);
        line[std::strcspn(line, "\n")] = '\0';
        address = line;
        pid = std::atoi(pidLine);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        ::unsetenv("DISPLAY");
    }
    ~PrivateBus() {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
    std::string address;
    int pid = 0;
};

// In a fresh process: a private bus on which a silent peer owns org.freedesktop.secrets.
void probeSilentService() {
    int status = 0;
    {
        PrivateBus bus;
        GError* error = nullptr;
        GDBusConnection* silent = g_dbus_connection_new_for_address_sync(
            bus.address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (silent == nullptr) std::exit(11);
        GVariant* owned = g_dbus_connection_call_sync(
            silent, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.freedesktop.secrets", 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
            &error);
        if (owned == nullptr) std::exit(12);
        g_variant_unref(owned);
        g_dbus_connection_add_filter(silent, dropCalls, nullptr, nullptr);

        SecretServiceStore::Options options;
        options.timeout = std::chrono::milliseconds(300);
        SecretServiceStore store(options);
        const auto started = std::chrono::steady_clock::now();
        auto probe = store.probe();
        auto read = store.read();
        const bool bounded = std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1500);
        // A timeout is reported as such, never as "no service" (which would switch stores).
        if (probe || probe.error().kind != Kind::timedOut) status = 1;
        else if (read || read.error().kind != Kind::timedOut) status = 2;
        else if (!bounded) status = 3;
    }
    std::exit(status);
}

TEST(SecretServiceStoreTest, AHungServiceIsReportedAsTimedOutWithinTheTimeout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(probeSilentService(), ::testing::ExitedWithCode(0), "");
}

// Starts a keyring daemon with an unlocked login keyring on the current (private) bus and
// in the current HOME; its pid (asked of the bus: the daemon does not print it), or 0.
int startKeyringDaemon() {
    if (std::system("printf locked-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1") != 0 ||
        std::system("gdbus wait --session --timeout 10 org.freedesktop.secrets >/dev/null 2>&1") != 0)
        return 0;
    const auto owner = test::runCommand(
        "gdbus call --session --timeout 5 --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus"
        " --method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets 2>/dev/null");
    int pid = 0;
    std::sscanf(owner.output.c_str(), "(uint32 %d,)", &pid);
    return pid;
}

// Locks the login keyring the way a screen locker does (no prompt is involved).
bool lockLoginKeyring() {
    const std::string command =
        "gdbus call --session --timeout 5 --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets"
        " --method org.freedesktop.Secret.Service.Lock \"['/org/freedesktop/secrets/collection/login']\""
        " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// In a fresh process: a keyring daemon of its own, whose login keyring gets locked.
void readLockedKeyring() {
    int status = 0;
    {
        PrivateBus bus;
        test::TempHome paths;
        const int keyringPid = startKeyringDaemon();
        if (keyringPid == 0) status = 10;
        SecretServiceStore::Options options;
        options.timeout = std::chrono::milliseconds(5000);
        auto store = std::make_shared<SecretServiceStore>(options);
        if (status == 0 && !store->write("key-before-lock")) status = 11;
        if (status == 0 && !lockLoginKeyring()) status = 12;

        // Locked is neither "no key" nor a reason to switch stores.
        if (status == 0) {
            auto read = store->read();
            if (read || read.error().kind != Kind::locked) status = 1;
        }
        if (status == 0) {
            auto probe = store->probe();
            if (!probe && probe.error().kind == Kind::unavailable) status = 2;
        }
        if (status == 0) {
            Keychain::useStore(store);
            if (Keychain::get() || !Keychain::lastProblem() || Keychain::lastProblem()->kind != Kind::locked)
                status = 3;
            else if (Keychain::set("other-key"))
                status = 4;
            Keychain::useStore(nullptr);
        }
        store.reset();
        if (keyringPid > 0) ::kill(keyringPid, SIGTERM);
    }
    std::exit(status);
}

TEST(SecretServiceStoreTest, ALockedKeyringIsReportedNotReadAsNoKey) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(readLockedKeyring(), ::testing::ExitedWithCode(0), "");
}

TEST(SecretServiceStoreTest, WithoutASessionBusTheFileStoreIsChosenQuickly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(probeWithoutSessionBus(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvel
