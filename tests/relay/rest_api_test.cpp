#include <boost/asio/io_context.hpp>
#include <boost/json/object.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "app/link_form.h"
#include "json/json.h"
#include "net/device_api.h"
#include "relay/admin.h"
#include "runtime/serial_queue.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

using boost::json::object;

std::string body(const object& value) {
    return json::serialize(value);
}

std::optional<std::string> errorOf(const HttpReply& reply) {
    const auto parsed = json::parseObject(reply.body);
    return parsed ? json::string(json::member(*parsed, "error")) : std::nullopt;
}

class RestApiTest : public RelayFixture {};

TEST_F(RestApiTest, PairingAnswersEveryStatusWithItsMembers) {
    const std::string pair = url("/api/pair");
    for (const char* bad : {"", "not json", "[1,2]", R"({"password":"x"})", R"({"password":1,"name":"A"})",
                            R"({"password":"x","name":null})"}) {
        const auto reply = httpPost(pair, bad);
        EXPECT_EQ(reply.status, 400) << bad;
        EXPECT_EQ(errorOf(reply), "bad_request") << bad;
    }
    const auto wrong = httpPost(pair, body({{"password", "guess"}, {"name", "A"}}));
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(errorOf(wrong), "password");

    const auto first = httpPost(pair, body({{"password", kStudioPassword}, {"name", "  Studio A  "}}));
    ASSERT_EQ(first.status, 200) << first.body;
    const auto answer = json::parseObject(first.body);
    ASSERT_TRUE(answer);
    const auto key = json::string(json::member(*answer, "key"));
    ASSERT_TRUE(key);
    EXPECT_GE(key->size(), 43u);  // 32 random bytes
    EXPECT_EQ(json::string(json::member(*answer, "name")), "Studio A");

    // A second computer with the same name gets a unique one and its own key.
    const auto second = httpPost(pair, body({{"password", kStudioPassword}, {"name", "Studio A"}}));
    const auto secondAnswer = json::parseObject(second.body);
    ASSERT_TRUE(secondAnswer);
    EXPECT_EQ(json::string(json::member(*secondAnswer, "name")), "Studio A (2)");
    EXPECT_NE(json::string(json::member(*secondAnswer, "key")), key);
}

// The application's own checks and its own client against the real relay: whatever the
// form lets through is created, and whatever it refuses the relay refuses with the text
// the form shows.
TEST_F(RestApiTest, TheApplicationsLinkRulesAreTheRelays) {
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const Config config{relay_->wsUrl("/ws/send"), key, std::nullopt};
    boost::asio::io_context context;
    AsioExecutor mainQueue{context};
    // A client of the test's own, gone (its thread joined) before the queue it posts to.
    HttpClient client(HttpClient::Options{});
    const auto repeat = [](std::string_view unit, int times) {
        std::string text;
        for (int i = 0; i < times; ++i) text += unit;
        return text;
    };
    // The relay's verdict through DeviceAPI: nothing on success, else the failure text.
    const auto create = [&](const std::string& name, const std::string& password) {
        std::optional<Expected<StreamLink, DeviceAPI::Failure>> result;
        DeviceAPI::create(config, key, name, password, 5, mainQueue, [&](auto outcome) { result = std::move(outcome); },
                          client);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!result && std::chrono::steady_clock::now() < deadline) {
            context.restart();
            context.run_for(std::chrono::milliseconds(10));
        }
        if (!result) return std::optional<std::string>("<no answer>");
        return *result ? std::nullopt : std::optional<std::string>((*result).error().text);
    };
    const std::string acute = "e\u0301";             // é as e + a combining accent
    const std::string thumb = "\U0001F44D\U0001F3FD";  // 👍🏽 with a skin tone modifier
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    for (const std::string& unit : {std::string("n"), acute, thumb, family}) {
        for (const int times : {80, 81}) {
            const std::string typed = " " + repeat(unit, times) + "\t";
            const auto form = app::LinkForm::checkName(typed);
            const auto relay = create(typed, "abcd");
            if (form) {
                EXPECT_EQ(relay, std::nullopt) << times << " × " << unit;
            } else {
                EXPECT_EQ(relay, form.error().text) << times << " × " << unit;
            }
            EXPECT_EQ(bool(form), times == 80) << times << " × " << unit;
        }
    }
    for (const std::string& unit : {std::string("p"), acute, thumb}) {
        for (const int times : {3, 4, 100, 101}) {
            const std::string password = repeat(unit, times);
            const auto form = app::LinkForm::checkPassword(password);
            EXPECT_EQ(create("Mix", password), form ? std::optional(form->text) : std::nullopt)
                << times << " × " << unit;
            EXPECT_EQ(bool(form), times == 3 || times == 101) << times << " × " << unit;
        }
    }
}

TEST(RestApiNoPassword, PairingBeforeTheStudioPasswordIsSetIs404) {
    TempDir dir;
    RunningRelay relay(dir.path());
    const auto reply = httpPost(relay.httpBase() + "/api/pair", body({{"password", "x"}, {"name", "A"}}));
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(errorOf(reply), "not_set");
}

TEST_F(RestApiTest, FiveFailedPairingsBlockTheAddressForFifteenMinutes) {
    const std::string pair = url("/api/pair");
    const std::string wrong = body({{"password", "guess"}, {"name", "A"}});
    for (int attempt = 0; attempt < 5; ++attempt) EXPECT_EQ(httpPost(pair, wrong).status, 401) << attempt;
    // Blocked now, even with the right password.
    const auto blocked = httpPost(pair, body({{"password", kStudioPassword}, {"name", "A"}}));
    EXPECT_EQ(blocked.status, 429);
    EXPECT_EQ(errorOf(blocked), "too_many_attempts");

    relay_->clock().advance(std::chrono::minutes(14));
    EXPECT_EQ(httpPost(pair, body({{"password", kStudioPassword}, {"name", "A"}})).status, 429);
    relay_->clock().advance(std::chrono::minutes(1));
    EXPECT_EQ(httpPost(pair, body({{"password", kStudioPassword}, {"name", "A"}})).status, 200);

    // Failures older than the window no longer count.
    for (int attempt = 0; attempt < 4; ++attempt) EXPECT_EQ(httpPost(pair, wrong).status, 401);
    relay_->clock().advance(std::chrono::minutes(16));
    for (int attempt = 0; attempt < 4; ++attempt) EXPECT_EQ(httpPost(pair, wrong).status, 401);
    EXPECT_EQ(httpPost(pair, body({{"password", kStudioPassword}, {"name", "A"}})).status, 200);
}

TEST_F(RestApiTest, CreatingALinkChecksKeyThenNamePasswordAndMax) {
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const std::string create = url("/api/device/sessions");
    auto attempt = [&](object request) {
        return httpPost(create, body(request));
    };
    const object good{{"key", key}, {"name", "Mix"}, {"password", "abcd"}, {"maxListeners", 2}};
    auto with = [&](const char* member, boost::json::value value) {
        object changed = good;
        changed[member] = std::move(value);
        return changed;
    };

    EXPECT_EQ(httpPost(create, "nope").status, 400);
    for (const auto& request : {object{{"name", "Mix"}}, with("key", "unknown"), with("key", 5)}) {
        const auto reply = attempt(request);
        EXPECT_EQ(reply.status, 401) << reply.body;
        EXPECT_EQ(errorOf(reply), "auth");
    }
    const std::string eightyOne(81, 'n');
    for (const auto& value : {boost::json::value(""), boost::json::value("   "), boost::json::value(eightyOne),
                              boost::json::value(7), boost::json::value(nullptr)})
        EXPECT_EQ(errorOf(attempt(with("name", value))), "name") << json::serialize(value);
    for (const auto& value : {boost::json::value("abc"), boost::json::value(std::string(101, 'p')),
                              boost::json::value(1234)})
        EXPECT_EQ(errorOf(attempt(with("password", value))), "password") << json::serialize(value);
    for (const auto& value : {boost::json::value(0), boost::json::value(6), boost::json::value(2.5),
                              boost::json::value("2"), boost::json::value(true), boost::json::value(nullptr)})
        EXPECT_EQ(errorOf(attempt(with("maxListeners", value))), "max") << json::serialize(value);
    EXPECT_EQ(attempt(with("maxListeners", 2)).status, 200);

    // Limits are in characters: 80 Cyrillic letters are a valid name, 100 a valid password.
    std::string cyrillic;
    for (int i = 0; i < 80; ++i) cyrillic += "ж";
    EXPECT_EQ(attempt(with("name", boost::json::value(cyrillic))).status, 200);
    EXPECT_EQ(attempt(with("password", boost::json::value(std::string(100, 'p')))).status, 200);
    EXPECT_EQ(attempt(with("maxListeners", 5.0)).status, 200);

    const auto reply = attempt(with("name", "  Late mix  "));
    ASSERT_EQ(reply.status, 200);
    const auto answer = json::parseObject(reply.body);
    ASSERT_TRUE(answer);
    const auto& link = json::member(*answer, "session")->as_object();
    const auto id = json::string(json::member(link, "id"));
    ASSERT_TRUE(id);
    EXPECT_GE(id->size(), 16u);  // at least 96 random bits
    EXPECT_EQ(json::string(json::member(link, "name")), "Late mix");
    EXPECT_EQ(json::string(json::member(link, "link")), relay_->httpBase() + "/l/" + *id);
    EXPECT_EQ(json::integral(json::member(link, "maxListeners")), 2);
    EXPECT_EQ(json::integral(json::member(link, "listeners")), 0);
    EXPECT_GT(json::number(json::member(link, "createdAt")).value_or(0), 1.7e12);
}

TEST_F(RestApiTest, ListingAndEndingLinks) {
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const std::string first = createLink(*relay_, key, "listen", 3, "First");
    const std::string second = createLink(*relay_, key, "listen", 3, "Second");
    const std::string list = url("/api/device/sessions/list");

    EXPECT_EQ(httpPost(list, body({{"key", "nope"}})).status, 401);
    auto ids = [&] {
        std::vector<std::string> found;
        const auto reply = httpPost(list, body({{"key", key}}));
        EXPECT_EQ(reply.status, 200);
        const auto answer = json::parseObject(reply.body);
        for (const auto& link : json::member(*answer, "sessions")->as_array())
            found.push_back(*json::string(json::member(link.as_object(), "id")));
        return found;
    };
    EXPECT_EQ(ids(), (std::vector<std::string>{second, first}));  // newest first

    const std::string end = url("/api/device/sessions/" + first + "/end");
    EXPECT_EQ(httpPost(end, body({{"key", "nope"}})).status, 401);
    const auto ended = httpPost(end, body({{"key", key}}));
    EXPECT_EQ(ended.status, 200);
    EXPECT_EQ(ended.body, "{}");
    const auto again = httpPost(end, body({{"key", key}}));
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(errorOf(again), "not_found");
    const auto unknown = httpPost(url("/api/device/sessions/unknown/end"), body({{"key", key}}));
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(errorOf(unknown), "not_found");
    EXPECT_EQ(ids(), (std::vector<std::string>{second}));
}

TEST_F(RestApiTest, UnknownPathsAndWrongMethods) {
    for (const char* path : {"/", "/api", "/api/pairs", "/api/device/sessions/x/y/end", "/api/device/sessions//end",
                             "/l/", "/l/a/b", "/ws/other"}) {
        const auto reply = httpPost(url(path), "{}");
        EXPECT_EQ(reply.status, 404) << path;
        EXPECT_EQ(reply.body, "{}") << path;
    }
    for (const char* method : {"GET", "PUT", "DELETE"})
        for (const char* path : {"/api/pair", "/api/device/sessions", "/api/device/sessions/list",
                                 "/api/device/sessions/abc/end"})
            EXPECT_EQ(httpRequest(method, url(path), "").status, 405) << method << ' ' << path;
    EXPECT_EQ(httpPost(url("/l/abc"), "").status, 405);
    EXPECT_EQ(httpPost(url("/ws/send"), "").status, 405);
    EXPECT_EQ(httpRequest("GET", url("/ws/listen"), "").status, 426);
}

TEST_F(RestApiTest, HugeBodiesAreRefusedAndNothingIsStored) {
    const std::string huge = R"({"password":")" + std::string(70 * 1024, 'x') + R"(","name":"A"})";
    const auto reply = httpPost(url("/api/pair"), huge);
    EXPECT_EQ(reply.status, 413);
    // Just under the limit is read (and answered by the password check).
    const std::string large = R"({"password":")" + std::string(60 * 1024, 'x') + R"(","name":"A"})";
    EXPECT_EQ(httpPost(url("/api/pair"), large).status, 401);
    const auto devices = relay::admin::listDevices(dir_.path());
    ASSERT_TRUE(devices);
    EXPECT_TRUE(devices.value().empty());
}

TEST_F(RestApiTest, ARestartKeepsTheStudioDevicesAndLinks) {
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const std::string id = createLink(*relay_, key, "listen", 2);
    relay_.reset();
    relay_ = std::make_unique<RunningRelay>(dir_.path());

    const auto list = httpPost(url("/api/device/sessions/list"), body({{"key", key}}));
    ASSERT_EQ(list.status, 200);
    EXPECT_NE(list.body.find(id), std::string::npos);
    EXPECT_EQ(httpPost(url("/api/pair"), body({{"password", kStudioPassword}, {"name", "B"}})).status, 200);
    auto broadcaster = onAir(*relay_, key, id);
    listening(*relay_, id, "listen");
}

TEST_F(RestApiTest, SecretsAppearNeitherInTheLogNorInTheDatabase) {
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const std::string linkPassword = "client-pass-7731";
    const std::string id = createLink(*relay_, key, linkPassword, 2);
    httpPost(url("/api/pair"), body({{"password", "wrong-guess-5521"}, {"name", "X"}}));
    {
        auto broadcaster = onAir(*relay_, key, id);
        auto listener = listening(*relay_, id, linkPassword);
    }
    std::string everything;
    for (const auto& line : relay_->logLines()) everything += line + "\n";
    relay_.reset();

    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        std::ifstream file(entry.path(), std::ios::binary);
        everything.append(std::istreambuf_iterator<char>(file), {});
    }
    for (const std::string& secret : {std::string(kStudioPassword), key, linkPassword, std::string("wrong-guess-5521")})
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
    EXPECT_NE(everything.find("$argon2id$"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::test
