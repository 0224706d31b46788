#include <gtest/gtest.h>

#include <cstdlib>

#include "net/device_api.h"
#include "rest_fixture.h"

namespace quorvel {
namespace {

using Links = Expected<std::vector<StreamLink>, DeviceAPI::Failure>;

// An HTTPS peer with a self-signed certificate (for 127.0.0.1 unless a test says otherwise).
class TlsTest : public test::RestFixture {
protected:
    TlsTest() { start("IP:127.0.0.1"); }

    // (Re)starts the peer with a fresh self-signed certificate for `subjectAltName`.
    void start(const std::string& subjectAltName) {
        certificate_ = (home_ / "peer.pem").string();
        key_ = (home_ / "peer.key").string();
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=quorvel-test"
                                    " -addext subjectAltName=" + subjectAltName + " -keyout '" + key_ + "' -out '" +
                                    certificate_ + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "openssl could not make a certificate";
        secure_ = std::make_unique<test::HttpTestPeer>(certificate_, key_);
        secure_->reply(200, R"({"sessions":[{"id":"1","name":"n","link":"l"}]})");
    }

    std::string listOn(HttpClient& http, const std::string& server) {
        Recorder<Links> recorder;
        DeviceAPI::list(Config{server, std::nullopt, std::nullopt}, "k", mainQueue, recorder.callback(), http);
        runUntilDelivered(recorder);
        if (!recorder.value) return "<none>";
        return *recorder.value ? "ok" : recorder.value->error().text;
    }

    std::string certificate_;
    std::string key_;
    std::unique_ptr<test::HttpTestPeer> secure_;
};

const std::string kNoConnection = "No connection to the server. Check your internet and try again.";

TEST_F(TlsTest, UnknownCertificateIsRefused) {
    EXPECT_EQ(listOn(client, secure_->serverURL()), kNoConnection);
    EXPECT_TRUE(secure_->requests().empty());
}

TEST_F(TlsTest, ExtraCAFileIsTrustedBesideTheSystemStore) {
    HttpClient trusting(HttpClient::Options{kTimeout * 5, 1024 * 1024, certificate_});
    EXPECT_EQ(listOn(trusting, secure_->serverURL()), "ok");
    ASSERT_EQ(secure_->requests().size(), 1u);
    EXPECT_EQ(secure_->requests()[0].target, "/api/device/sessions/list");
}

TEST_F(TlsTest, HostNameMustMatchTheCertificate) {
    start("DNS:relay.invalid");  // trusted, but issued for another host
    HttpClient trusting(HttpClient::Options{kTimeout * 5, 1024 * 1024, certificate_});
    EXPECT_EQ(listOn(trusting, secure_->serverURL()), kNoConnection);
    EXPECT_TRUE(secure_->requests().empty());
}

}  // namespace
}  // namespace quorvel
