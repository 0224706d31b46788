#include <gtest/gtest.h>

#include <boost/json/object.hpp>

#include "config/keychain.h"
#include "config/preferences.h"
#include "json/json.h"
#include "net/pairing.h"
#include "rest_fixture.h"
#include "support/manual_executor.h"

namespace quorvel {
namespace {

using test::HttpTestPeer;
using Pairing::Result;

class PairingTest : public test::RestFixture {
protected:
    Result pair(int status, std::string body, std::string name = "Studio Mac") {
        peer.reply(status, std::move(body));
        return pairNow(std::move(name));
    }
    Result pairNow(std::string name = "Studio Mac") {
        Recorder<Result> recorder;
        Pairing::pair(config(), "  studio pass ", std::move(name), mainQueue, recorder.callback(), client);
        runUntilDelivered(recorder);
        return recorder.value.value_or(Result::failed("<none>"));
    }
    // Something stored before, which a failed pairing must leave alone.
    void storeEarlierPairing() {
        ASSERT_TRUE(Keychain::set("old-key"));
        ASSERT_TRUE(Preferences::setString("deviceName", "Old Name"));
    }
    void expectEarlierPairingKept() {
        EXPECT_EQ(Keychain::get(), "old-key");
        EXPECT_EQ(Preferences::string("deviceName"), "Old Name");
    }
};

TEST_F(PairingTest, SendsPasswordUntouchedAndName) {
    pair(200, R"({"key":"k1"})");
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/api/pair");
    EXPECT_EQ(requests[0].contentType, "application/json");
    EXPECT_EQ(json::parseObject(requests[0].body),
              (boost::json::object{{"password", "  studio pass "}, {"name", "Studio Mac"}}));
}

TEST_F(PairingTest, SuccessStoresKeyAndSentNameWhenServerGivesNone) {
    storeEarlierPairing();
    EXPECT_EQ(pair(200, R"({"key":"new-key","name":7})"), Result::ok("Studio Mac"));
    EXPECT_EQ(Keychain::get(), "new-key");
    EXPECT_EQ(Preferences::string("deviceName"), "Studio Mac");
}

TEST_F(PairingTest, SuccessTakesTheServersNameEvenEmpty) {
    EXPECT_EQ(pair(200, R"j({"key":"k2","name":"Studio A (2)"})j"), Result::ok("Studio A (2)"));
    EXPECT_EQ(Preferences::string("deviceName"), "Studio A (2)");
    EXPECT_EQ(pair(200, R"({"key":"k3","name":""})"), Result::ok(""));
    EXPECT_EQ(Preferences::string("deviceName"), "");
    EXPECT_EQ(Keychain::get(), "k3");
}

TEST_F(PairingTest, UnusableKeyIsUnexpectedAndStoresNothing) {
    storeEarlierPairing();
    for (const char* body : {R"({"name":"x"})", R"({"key":""})", R"({"key":5})", R"({"key":null})", "not json",
                             R"(["key"])", ""}) {
        EXPECT_EQ(pair(200, body), Result::failed("Unexpected server response. Try again.")) << body;
        expectEarlierPairingKept();
    }
    const std::string hugeKey = "{\"key\":\"" + std::string(2 * 1024 * 1024, 'k') + "\"}";
    EXPECT_EQ(pair(200, hugeKey), Result::failed("Unexpected server response. Try again."));
    expectEarlierPairingKept();
}

TEST_F(PairingTest, StatusesMapToFixedTextsWhateverTheBody) {
    storeEarlierPairing();
    const std::string good = R"({"key":"k","name":"n"})";
    EXPECT_EQ(pair(401, good), Result::failed("Wrong studio password."));
    EXPECT_EQ(pair(404, good),
              Result::failed("The studio password is not set yet — set it in the admin panel first."));
    EXPECT_EQ(pair(429, good), Result::failed("Too many attempts. Wait 15 minutes."));
    for (int status : {201, 204, 400, 403, 500, 503})
        EXPECT_EQ(pair(status, good), Result::failed("Server error (" + std::to_string(status) + "). Try again."));
    expectEarlierPairingKept();
}

TEST_F(PairingTest, UnreachableOrSilentServerIsNoConnection) {
    storeEarlierPairing();
    const Result noConnection = Result::failed("No connection to the server. Check your internet and try again.");
    peer.reply(HttpTestPeer::Reply{200, R"({"key":"k"})", HttpTestPeer::Reply::Mode::silent});
    EXPECT_EQ(pairNow(), noConnection);
    peer.reply(HttpTestPeer::Reply{200, R"({"key":"k"})", HttpTestPeer::Reply::Mode::drip,
                                   kTimeout / 4});
    EXPECT_EQ(pairNow(), noConnection);
    expectEarlierPairingKept();
}

TEST_F(PairingTest, InvalidServerAddressFailsAsynchronously) {
    test::ManualExecutor manual;
    std::optional<Result> result;
    Pairing::pair(Config{"", std::nullopt, std::nullopt}, "pw", "n", manual, [&](Result r) { result = r; }, client);
    EXPECT_FALSE(result);
    manual.runPending();
    EXPECT_EQ(result, Result::failed("Invalid server address"));
    EXPECT_TRUE(peer.requests().empty());
}

}  // namespace
}  // namespace quorvel
