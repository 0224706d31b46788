#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "config/config.h"
#include "config/file_key_store.h"
#include "config/keychain.h"
#include "net/http_client.h"
#include "runtime/serial_queue.h"
#include "support/http_test_peer.h"
#include "support/temp_dir.h"

namespace quorvel::test {

// A scripted server, a client with a short timeout, and a real main queue (an Asio loop
// on the test's thread). Preferences and the key live in a temporary directory.
class RestFixture : public ::testing::Test {
protected:
    // Short, yet long enough for a megabyte through the sanitizers on a busy machine.
    static constexpr std::chrono::milliseconds kTimeout{2000};

    RestFixture() {
        ::setenv("XDG_CONFIG_HOME", (home_.path() / "config").c_str(), 1);
        // The peers are local: a proxy configured for this machine must not be asked.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        Keychain::useStore(std::make_shared<FileKeyStore>((home_.path() / "data" / "device-key").string()));
    }
    ~RestFixture() override { Keychain::useStore(nullptr); }

    Config config() const { return Config{peer.serverURL(), std::nullopt, std::nullopt}; }

    // Runs the main queue until `recorder` has a value (at most 10 s), then a little
    // longer so that a second delivery would be seen too.
    template <typename Recorded>
    void runUntilDelivered(const Recorded& recorder) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (recorder.calls == 0 && std::chrono::steady_clock::now() < deadline) {
            context.restart();
            context.run_for(std::chrono::milliseconds(10));
        }
        context.restart();
        context.run_for(std::chrono::milliseconds(20));
        EXPECT_EQ(recorder.calls, 1) << "a completion must run exactly once";
    }

    // A completion that records its value and how often it was called.
    template <typename T>
    struct Recorder {
        std::optional<T> value;
        int calls = 0;
        auto callback() {
            return [this](T result) {
                ++calls;
                value = std::move(result);
            };
        }
    };

    TempDir home_{"quorvel-rest"};
    boost::asio::io_context context;
    AsioExecutor mainQueue{context};
    HttpTestPeer peer;
    HttpClient client{HttpClient::Options{kTimeout, 1024 * 1024, {}}};
};

}  // namespace quorvel::test
