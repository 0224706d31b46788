#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "relay/deadlines.h"
#include "relay/log.h"
#include "relay/relay.h"
#include "relay/store.h"
#include "support/manual_clock.h"

namespace quorvel::fuzz {

// The real relay logic on a real store (in a temporary directory), driven on the
// fuzzer's thread with a clock the fuzzer moves. The store holds a studio password,
// one paired computer and one live link, whose secrets are in the dictionaries.
class RelayFixture {
public:
    static constexpr const char* kDeviceKey = "fuzz-device-key-AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    static constexpr const char* kStudioPassword = "studio-password";
    static constexpr const char* kLinkId = "fuzzlink";
    static constexpr const char* kLinkPassword = "link-password";

    RelayFixture();
    ~RelayFixture();
    RelayFixture(const RelayFixture&) = delete;
    RelayFixture& operator=(const RelayFixture&) = delete;

    relay::Relay& relay() { return *relay_; }
    // Runs the relay's handlers (password checks come back from its worker thread)
    // until `done` holds.
    void runUntil(const std::function<bool()>& done);
    // Runs what is ready without waiting.
    void poll();
    // Moves the clock and runs the deadlines that passed.
    void advance(std::chrono::seconds by);
    // Starts again from the initial store, so that what inputs added stays bounded.
    void reset();

private:
    void open();
    void close();

    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    test::ManualClock clock_;
    relay::RelayLog log_{[](std::string_view) {}, clock_};
    relay::Deadlines deadlines_;
    std::filesystem::path directory_;
    std::unique_ptr<relay::Store> store_;
    std::unique_ptr<relay::Relay> relay_;
};

}  // namespace quorvel::fuzz
