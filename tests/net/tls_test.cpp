#include <gtest/gtest.h>

#include "net/device_api.h"
#include "rest_fixture.h"
#include "support/test_certificates.h"

namespace quorvel {
namespace {

using Links = Expected<std::vector<StreamLink>, DeviceAPI::Failure>;

// An HTTPS peer with a certificate from a private CA (for 127.0.0.1 unless a test says otherwise).
class TlsTest : public test::RestFixture {
protected:
    TlsTest() {
        EXPECT_TRUE(certificates().ok) << "openssl could not make the certificates";
        start(certificates().serverCert, certificates().serverKey);
    }

    static const test::TestCertificates& certificates() {
        static const test::TestCertificates made;
        return made;
    }

    // (Re)starts the peer with `certificate`.
    void start(const std::string& certificate, const std::string& key) {
        secure_ = std::make_unique<test::HttpTestPeer>(certificate, key);
        secure_->reply(200, R"({"sessions":[{"id":"1","name":"n","link":"l"}]})");
    }

    std::string listOn(HttpClient& http, const std::string& server) {
        Recorder<Links> recorder;
        DeviceAPI::list(Config{server, std::nullopt, std::nullopt}, "k", mainQueue, recorder.callback(), http);
        runUntilDelivered(recorder);
        if (!recorder.value) return "<none>";
        return *recorder.value ? "ok" : recorder.value->error().text;
    }

    const std::string caFile_ = certificates().caFile;
    std::unique_ptr<test::HttpTestPeer> secure_;
};

const std::string kNoConnection = "No connection to the server. Check your internet and try again.";

TEST_F(TlsTest, UnknownCertificateIsRefused) {
    EXPECT_EQ(listOn(client, secure_->serverURL()), kNoConnection);
    EXPECT_TRUE(secure_->requests().empty());
}

TEST_F(TlsTest, ExtraCAFileIsTrustedBesideTheSystemStore) {
    HttpClient trusting(HttpClient::Options{kTimeout * 5, 1024 * 1024, caFile_});
    EXPECT_EQ(listOn(trusting, secure_->serverURL()), "ok");
    ASSERT_EQ(secure_->requests().size(), 1u);
    EXPECT_EQ(secure_->requests()[0].target, "/api/device/sessions/list");
}

TEST_F(TlsTest, HostNameMustMatchTheCertificate) {
    start(certificates().otherHostCert, certificates().otherHostKey);  // trusted, but issued for another host
    HttpClient trusting(HttpClient::Options{kTimeout * 5, 1024 * 1024, caFile_});
    EXPECT_EQ(listOn(trusting, secure_->serverURL()), kNoConnection);
    EXPECT_TRUE(secure_->requests().empty());
}

}  // namespace
}  // namespace quorvel
