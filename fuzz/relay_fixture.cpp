#include "relay_fixture.h"

#include <cstdlib>

#include "check.h"
#include "relay/secrets.h"

namespace quorvel::fuzz {

RelayFixture::RelayFixture() : work_(context_.get_executor()) {
    FUZZ_REQUIRE(relay::secrets::initialize());
    open();
}

RelayFixture::~RelayFixture() {
    close();
}

void RelayFixture::open() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-fuzz-relay-XXXXXX").string();
    FUZZ_REQUIRE(::mkdtemp(pattern.data()) != nullptr);
    directory_ = pattern;
    auto store = relay::Store::open(directory_);
    FUZZ_REQUIRE(store);
    store_ = std::move(store.value());
    using relay::secrets::Cost;
    const auto studioHash = relay::secrets::hashPassword(kStudioPassword, Cost::minimum);
    const auto linkHash = relay::secrets::hashPassword(kLinkPassword, Cost::minimum);
    FUZZ_REQUIRE(studioHash && linkHash);
    FUZZ_REQUIRE(store_->setStudioPasswordHash(*studioHash));
    const auto device = store_->addDevice("Studio", relay::secrets::keyDigest(kDeviceKey), 1);
    FUZZ_REQUIRE(device);
    relay::LinkRecord link;
    link.id = kLinkId;
    link.name = "Morning show";
    link.passwordHash = *linkHash;
    link.maxListeners = 2;
    link.createdAtMs = 1;
    link.deviceId = device.value().id;
    FUZZ_REQUIRE(store_->addLink(link));

    relay::RelaySettings settings;
    settings.publicUrl = "https://relay.example";
    settings.passwordCost = Cost::minimum;
    relay_ = std::make_unique<relay::Relay>(context_, *store_, deadlines_, clock_, settings, log_);
}

void RelayFixture::close() {
    relay_.reset();  // joins its hashing thread
    poll();          // drops what that thread posted
    store_.reset();
    std::filesystem::remove_all(directory_);
}

void RelayFixture::reset() {
    close();
    open();
}

void RelayFixture::runUntil(const std::function<bool()>& done) {
    while (!done()) context_.run_one();
}

void RelayFixture::poll() {
    context_.restart();
    context_.poll();
}

void RelayFixture::advance(std::chrono::seconds by) {
    clock_.advance(by);
    deadlines_.sweep(clock_.now());
}

}  // namespace quorvel::fuzz
