#include <gtest/gtest.h>

#include "support/relay_harness.h"
#include "support/test_certificates.h"

namespace quorvel::test {
namespace {

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificates_.ok);
        setStudioPassword(dataDir_.path(), "studio secret");
        relay_ = std::make_unique<RunningRelay>(dataDir_.path(), [this](relay::RelayServerOptions& options) {
            options.web.tlsCertificate = certificates_.serverCert;
            options.web.tlsKey = certificates_.serverKey;
        });
    }
    std::string ca() const { return certificates_.caFile; }

    TestCertificates certificates_;
    TempDir dataDir_;
    std::unique_ptr<RunningRelay> relay_;
};

TEST_F(TlsTest, RestAndStreamingWorkOverTls) {
    const auto pair = httpPost(relay_->httpBase() + "/api/pair", R"({"password":"studio secret","name":"A"})", ca());
    ASSERT_EQ(pair.status, 200) << pair.error;
    const std::string key = pair.body.substr(8, pair.body.find('"', 8) - 8);
    const auto created = httpPost(relay_->httpBase() + "/api/device/sessions",
                                  R"({"key":")" + key + R"(","name":"Mix","password":"listen","maxListeners":2})", ca());
    ASSERT_EQ(created.status, 200) << created.body;
    EXPECT_NE(created.body.find("\"link\":\"https://127.0.0.1:"), std::string::npos) << created.body;
    const std::string id = created.body.substr(created.body.find("\"id\":\"") + 6, 22);

    TestSocket listener(ca());
    ASSERT_TRUE(listener.connect(relay_->wsUrl("/ws/listen"))) << listener.closeReason();
    listener.sendText(listenText(id, "listen"));
    ASSERT_TRUE(listener.nextOfType("ready"));
    TestSocket broadcaster(ca());
    ASSERT_TRUE(broadcaster.connect(relay_->wsUrl("/ws/send"))) << broadcaster.closeReason();
    broadcaster.sendText(helloText(key, id));
    ASSERT_TRUE(broadcaster.nextOfType("welcome"));
    broadcaster.sendBinary(testPacket(3));
    const auto packet = listener.nextBinary();
    ASSERT_TRUE(packet);
    const auto expected = testPacket(3);
    EXPECT_EQ(*packet, std::string(expected.begin(), expected.end()));
    broadcaster.sendBinary(std::vector<std::uint8_t>(17 * 1024, 1));
    EXPECT_EQ(broadcaster.waitClosed().closeCode, 1009);
}

TEST_F(TlsTest, ClientsThatDoNotTrustTheCertificateOrSpeakPlainTextAreRefused) {
    EXPECT_EQ(httpPost(relay_->httpBase() + "/api/pair", "{}").status, 0);  // unknown CA
    TestSocket untrusting;
    EXPECT_FALSE(untrusting.connect(relay_->wsUrl("/ws/send")));
    const std::string plain = "http" + relay_->httpBase().substr(5);
    EXPECT_EQ(httpPost(plain + "/api/pair", "{}").status, 0);
    // And the server goes on serving those who do.
    EXPECT_EQ(httpPost(relay_->httpBase() + "/api/pair", "{}", ca()).status, 400);
}

}  // namespace
}  // namespace quorvel::test
