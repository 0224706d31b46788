#include <gtest/gtest.h>

#include <boost/json/object.hpp>

#include <thread>

#include "net/device_api.h"
#include "json/json.h"
#include "rest_fixture.h"
#include "support/manual_executor.h"

namespace quorvel {
namespace {

using test::HttpTestPeer;
using Links = Expected<std::vector<StreamLink>, DeviceAPI::Failure>;
using Created = Expected<StreamLink, DeviceAPI::Failure>;
using EndResult = Expected<DeviceAPI::Ended, DeviceAPI::Failure>;

const std::string kNoConnection = "No connection to the server. Check your internet and try again.";
const std::string kUnexpected = "Unexpected server response. Try again.";

class DeviceAPITest : public test::RestFixture {
protected:
    Links listWith(int status, std::string body) {
        peer.reply(status, std::move(body));
        return list();
    }
    Links list() {
        Recorder<Links> recorder;
        DeviceAPI::list(config(), "device-key-1", mainQueue, recorder.callback(), client);
        runUntilDelivered(recorder);
        return recorder.value.value_or(Links(DeviceAPI::Failure{"<none>"}));
    }
    Created create(int max = 3) {
        Recorder<Created> recorder;
        DeviceAPI::create(config(), "device-key-1", "Mix A", " pass word ", max, mainQueue, recorder.callback(),
                          client);
        runUntilDelivered(recorder);
        return recorder.value.value_or(Created(DeviceAPI::Failure{"<none>"}));
    }
    EndResult end(std::string id) {
        Recorder<EndResult> recorder;
        DeviceAPI::end(config(), "device-key-1", std::move(id), mainQueue, recorder.callback(), client);
        runUntilDelivered(recorder);
        return recorder.value.value_or(EndResult(DeviceAPI::Failure{"<none>"}));
    }
    // The failure text the list call ends in for this answer.
    std::string listFailure(int status, std::string body) {
        auto result = listWith(status, std::move(body));
        return result ? "<success>" : result.error().text;
    }
};

const char* kLink = R"({"id":"a1","name":"Mix A","link":"https://l/a1","createdAt":1700000000000.5,
                        "maxListeners":3,"listeners":1})";

TEST_F(DeviceAPITest, RequestsArePostedJSONWithTheKeyAndTheRightPaths) {
    peer.reply(200, std::string(R"({"session":)") + kLink + "}");
    ASSERT_TRUE(create(4));
    peer.reply(200, "{}");
    ASSERT_TRUE(list());
    ASSERT_TRUE(end("a1"));

    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.contentType, "application/json");
    }
    EXPECT_EQ(requests[0].target, "/api/device/sessions");
    const auto body = json::parseObject(requests[0].body);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, (boost::json::object{{"key", "device-key-1"},
                                          {"name", "Mix A"},
                                          {"password", " pass word "},
                                          {"maxListeners", 4}}));
    EXPECT_TRUE(body->at("maxListeners").is_int64());
    EXPECT_EQ(requests[1].target, "/api/device/sessions/list");
    EXPECT_EQ(json::parseObject(requests[1].body), (boost::json::object{{"key", "device-key-1"}}));
    EXPECT_EQ(requests[2].target, "/api/device/sessions/a1/end");
    EXPECT_EQ(json::parseObject(requests[2].body), (boost::json::object{{"key", "device-key-1"}}));
}

TEST_F(DeviceAPITest, EndPathEncodesTheIdButKeepsSlashesAndDots) {
    peer.reply(200, "{}");
    ASSERT_TRUE(end("a b?/c"));
    ASSERT_TRUE(end("../../pair"));
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/api/device/sessions/a%20b%3F/c/end");
    // Sent as built: not folded into another endpoint.
    EXPECT_EQ(requests[1].target, "/api/device/sessions/../../pair/end");
}

TEST_F(DeviceAPITest, InvalidServerAddressFailsAsynchronouslyWithoutARequest) {
    test::ManualExecutor manual;
    const Config broken{"ws://bad host/ws/send", std::nullopt, std::nullopt};
    std::vector<std::string> texts;
    auto record = [&texts](const auto& result) { texts.push_back(result ? "<success>" : result.error().text); };
    DeviceAPI::create(broken, "k", "n", "pass", 5, manual, record, client);
    DeviceAPI::list(broken, "k", manual, record, client);
    DeviceAPI::end(broken, "k", "id", manual, record, client);
    EXPECT_TRUE(texts.empty()) << "never inside the call";
    EXPECT_EQ(manual.runPending(), 3);
    EXPECT_EQ(texts, std::vector<std::string>(3, "Invalid server address"));
    EXPECT_TRUE(peer.requests().empty());
}

TEST_F(DeviceAPITest, OnlyTwoHundredIsSuccessWhateverTheBody) {
    peer.reply(200, "not json");
    auto created = create();
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().text, kUnexpected);
    auto links = list();
    ASSERT_TRUE(links);
    EXPECT_TRUE(links->empty());
    EXPECT_TRUE(end("a1"));

    peer.reply(200, "");
    EXPECT_TRUE(end("a1"));
    peer.reply(200, R"({"session": 5})");
    EXPECT_EQ(create().error().text, kUnexpected);
    peer.reply(200, R"({"session": {"id": "x", "name": "n"}})");
    EXPECT_EQ(create().error().text, kUnexpected);

    for (int status : {201, 204}) {
        peer.reply(status, std::string(R"({"session":)") + kLink + "}");
        EXPECT_EQ(create().error().text, "Server error (" + std::to_string(status) + "). Try again.");
        EXPECT_EQ(end("a1").error().text, "Server error (" + std::to_string(status) + "). Try again.");
    }
}

TEST_F(DeviceAPITest, CreatedLinkComesFromTheSessionMember) {
    peer.reply(200, std::string(R"({"session":)") + kLink + R"(,"other":1})");
    auto created = create();
    ASSERT_TRUE(created);
    EXPECT_EQ(*created, (StreamLink{"a1", "Mix A", "https://l/a1", 1700000000000.5, 3, 1}));
}

TEST_F(DeviceAPITest, ListKeepsAcceptedLinksInServerOrder) {
    auto links = listWith(200, R"({"sessions":[
        {"id":"1","name":"one","link":"l1","createdAt":100},
        {"id":"2","name":"two","createdAt":300},
        {"id":"3","name":"","link":"","createdAt":"yesterday","maxListeners":2.5,"listeners":2.0}]})");
    ASSERT_TRUE(links);
    ASSERT_EQ(links->size(), 2u);
    EXPECT_EQ((*links)[0], (StreamLink{"1", "one", "l1", 100, 0, 0}));
    EXPECT_EQ((*links)[1], (StreamLink{"3", "", "", 0, 0, 2}));
}

TEST_F(DeviceAPITest, ListWithAnythingButObjectsIsEmptySuccess) {
    for (const char* body : {R"({"sessions":[{"id":"1","name":"n","link":"l"}, 5]})", R"({"sessions":{}})",
                             R"({"sessions":null})", R"({})", R"([1,2])", "\xff\xfe"}) {
        auto links = listWith(200, body);
        ASSERT_TRUE(links) << body;
        EXPECT_TRUE(links->empty()) << body;
    }
}

TEST_F(DeviceAPITest, BadRequestCodesAreComparedExactly) {
    EXPECT_EQ(listFailure(400, R"({"error":"name"})"), "Enter a name (up to 80 characters).");
    EXPECT_EQ(listFailure(400, R"({"error":"password"})"), "The client password must be 4 to 100 characters.");
    EXPECT_EQ(listFailure(400, R"({"error":"max"})"), "Choose how many listeners (1 to 5).");
    for (const char* body : {R"({"error":"MAX"})", R"({"error":"max "})", "", R"({"error":5})", R"(["max"])"})
        EXPECT_EQ(listFailure(400, body), "Server error (400). Try again.") << body;
}

TEST_F(DeviceAPITest, StatusTextsWhateverTheBody) {
    const std::string disconnected = "This computer was disconnected in the admin panel — connect it again.";
    EXPECT_EQ(listFailure(401, ""), disconnected);
    EXPECT_EQ(listFailure(401, R"({"error":"not_found"})"), disconnected);
    EXPECT_EQ(listFailure(404, R"({"error":"not_found"})"), "This link no longer exists.");
    for (const char* body : {"", R"({"error":"NOT_FOUND"})", R"({"error":"gone"})"})
        EXPECT_EQ(listFailure(404, body), "The server does not support this yet. The server needs to be updated.");
    EXPECT_EQ(listFailure(429, R"({"error":"max"})"), "Too many attempts. Wait 15 minutes.");
    for (int status : {302, 402, 403, 405, 428, 500, 502, 503})
        EXPECT_EQ(listFailure(status, R"({"error":"max"})"), "Server error (" + std::to_string(status) + "). Try again.");
    for (int status : {401, 403, 429, 502}) {
        peer.reply(status, "{}");
        EXPECT_EQ(list().error().temporary, status >= 500) << status;
    }
}

TEST_F(DeviceAPITest, TransportFailuresAreNoConnection) {
    peer.reply(HttpTestPeer::Reply{200, "{}", HttpTestPeer::Reply::Mode::silent});
    EXPECT_EQ(list().error().text, kNoConnection);
    peer.reply(HttpTestPeer::Reply{200, "{}", HttpTestPeer::Reply::Mode::hangUp});
    EXPECT_EQ(list().error().text, kNoConnection);
    // A slow drip is bounded by the same timeout.
    peer.reply(HttpTestPeer::Reply{200, std::string(100, ' '), HttpTestPeer::Reply::Mode::drip,
                                   kTimeout / 20});
    EXPECT_EQ(list().error().text, kNoConnection);
}

TEST_F(DeviceAPITest, ConnectionRefusedIsNoConnection) {
    unsigned short closedPort = 0;
    {
        test::HttpTestPeer gone;
        closedPort = gone.port();
    }
    Recorder<Links> recorder;
    const Config refused{"ws://127.0.0.1:" + std::to_string(closedPort) + "/ws/send", std::nullopt, std::nullopt};
    DeviceAPI::list(refused, "k", mainQueue, recorder.callback(), client);
    runUntilDelivered(recorder);
    ASSERT_TRUE(recorder.value);
    EXPECT_EQ(recorder.value->error().text, kNoConnection);
    EXPECT_TRUE(recorder.value->error().temporary);  // worth asking again, unlike a refusal
}

TEST_F(DeviceAPITest, ClientShutDownStillCompletesEveryCallOnce) {
    peer.reply(HttpTestPeer::Reply{200, "{}", HttpTestPeer::Reply::Mode::silent});
    Recorder<Links> first;
    Recorder<EndResult> second;
    {
        HttpClient shortLived(HttpClient::Options{std::chrono::seconds(60), 1024, {}});
        DeviceAPI::list(config(), "k", mainQueue, first.callback(), shortLived);
        DeviceAPI::end(config(), "k", "a1", mainQueue, second.callback(), shortLived);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (peer.requests().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    runUntilDelivered(first);
    runUntilDelivered(second);
    ASSERT_TRUE(first.value && second.value);
    EXPECT_EQ(first.value->error().text, kNoConnection);
    EXPECT_EQ(second.value->error().text, kNoConnection);
}

TEST_F(DeviceAPITest, OversizedBodyIsBounded) {
    const std::string huge = R"({"sessions":[)" + std::string(3 * 1024 * 1024, ' ') + "]}";
    EXPECT_EQ(listFailure(200, huge), kUnexpected);
    // The status still decides where the body is not needed.
    EXPECT_EQ(listFailure(401, huge), "This computer was disconnected in the admin panel — connect it again.");
    EXPECT_EQ(listFailure(404, huge), "The server does not support this yet. The server needs to be updated.");
}

TEST(StreamLinkTest, SortsNewestFirstKeepingTiesInServerOrder) {
    std::vector<StreamLink> links{{"a", "", "", 100}, {"b", "", "", 300}, {"c", "", "", 200}, {"d", "", "", 300}};
    sortNewestFirst(links);
    std::string order;
    for (const auto& link : links) order += link.id;
    EXPECT_EQ(order, "bdca");
}

}  // namespace
}  // namespace quorvel
