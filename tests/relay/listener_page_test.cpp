#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; connect-src 'self'; worker-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string get(const std::string& url, HttpReply& reply, const std::vector<std::string>& headers = {}) {
    reply = httpRequest("GET", url, "", std::nullopt, headers);
    return reply.body;
}

// The page and its files are cross-origin isolated and allowed nothing from elsewhere.
void expectPageHeaders(const HttpReply& reply, const std::string& what) {
    EXPECT_EQ(reply.header("content-security-policy"), kPolicy) << what;
    EXPECT_EQ(reply.header("cross-origin-opener-policy"), "same-origin") << what;
    EXPECT_EQ(reply.header("cross-origin-embedder-policy"), "require-corp") << what;
    EXPECT_EQ(reply.header("x-content-type-options"), "nosniff") << what;
    EXPECT_EQ(reply.header("cache-control"), "no-cache") << what;
    EXPECT_FALSE(reply.header("etag").empty()) << what;
}

class ListenerPageTest : public LinkFixture {
protected:
    ListenerPageTest() : LinkFixture(2) {}
    std::uint16_t port() const {
        const std::string base = relay_->httpBase();
        return static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
    }
    // The whole answer to a request sent exactly as written.
    std::string rawAnswer(const std::string& target, const std::string& method = "GET") const {
        RawConnection connection(port());
        connection.send(method + " " + target + " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
        bool closed = false;
        return connection.readUntilClosed(std::chrono::seconds(3), closed);
    }
    // Its status line.
    std::string rawStatus(const std::string& target, const std::string& method = "GET") const {
        const std::string answer = rawAnswer(target, method);
        return answer.substr(0, answer.find('\r'));
    }
};

TEST_F(ListenerPageTest, EveryFileOfTheFolderIsServedExactlyWithItsTypeAndHeaders) {
    const std::filesystem::path folder = QUORVEL_WEB_DIR;
    int scripts = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with('.')) continue;  // an editor's or the system's, not the page's
        HttpReply reply;
        EXPECT_EQ(get(url("/listener/" + name + "?v=1"), reply), fileText(entry.path())) << name;
        EXPECT_EQ(reply.status, 200) << name;
        expectPageHeaders(reply, name);
        const std::string extension = entry.path().extension().string();
        if (extension == ".js" || extension == ".mjs") {
            EXPECT_EQ(reply.header("content-type"), "text/javascript; charset=utf-8") << name;
            ++scripts;
        }
        if (extension == ".css") {
            EXPECT_EQ(reply.header("content-type"), "text/css; charset=utf-8") << name;
        }
    }
    EXPECT_GE(scripts, 1);
}

TEST_F(ListenerPageTest, TheLinkPageIsTheSameForEveryLinkAnd404WhenTheLinkIsGone) {
    const std::string page = fileText(std::filesystem::path(QUORVEL_WEB_DIR) / "listener.html");
    HttpReply live;
    EXPECT_EQ(get(url("/l/" + link_), live), page);
    EXPECT_EQ(live.status, 200);
    EXPECT_EQ(live.header("content-type"), "text/html; charset=utf-8");
    expectPageHeaders(live, "page");

    // The page itself tells the listener that the link does not exist when it joins.
    HttpReply missing;
    EXPECT_EQ(get(url("/l/nosuchlink"), missing), page);
    EXPECT_EQ(missing.status, 404);
    expectPageHeaders(missing, "missing");

    // A browser revalidating its copy gets "not modified", without the page again.
    HttpReply cached;
    EXPECT_EQ(get(url("/l/" + link_), cached, {"If-None-Match: " + live.header("etag")}), "");
    EXPECT_EQ(cached.status, 304);
    HttpReply stale;
    EXPECT_EQ(get(url("/listener/listener.html"), stale, {"If-None-Match: \"old\""}), page);
    EXPECT_EQ(stale.status, 200);

    httpPost(url("/api/device/sessions/" + link_ + "/end"), jsonText("key", key_));
    HttpReply ended;
    EXPECT_EQ(get(url("/l/" + link_), ended), page);
    EXPECT_EQ(ended.status, 404);
}

TEST_F(ListenerPageTest, NamesOutsideTheFolderAndOtherMethodsAreRefused) {
    ASSERT_EQ(rawStatus("/listener/listener.js"), "HTTP/1.1 200 OK");
    for (const char* target :
         {"/listener/", "/listener", "/listener/nothing.js", "/listener/LISTENER.JS", "/listener/listener.js/",
          "/listener//listener.js", "/listener/./listener.js", "/listener/../listener/listener.js",
          "/listener/..%2flistener.js", "/listener/%2e%2e/CMakeLists.txt", "/listener/../../CMakeLists.txt",
          "/listener/listener.js%00", "/listener/listener.js%20", "/listener/web/listener.js", "/l/x/listener.js"})
        EXPECT_EQ(rawStatus(target), "HTTP/1.1 404 Not Found") << target;
    EXPECT_EQ(rawStatus("/listener/listener.js", "POST"), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(rawStatus("/l/" + link_, "DELETE"), "HTTP/1.1 405 Method Not Allowed");
}

// HEAD is answered as GET without the body; OPTIONS names the methods.
TEST_F(ListenerPageTest, HeadAndOptions) {
    for (const std::string& target : {"/l/" + link_, std::string("/listener/listener.js")}) {
        const std::string got = rawAnswer(target);
        const std::string head = rawAnswer(target, "HEAD");
        EXPECT_EQ(head, got.substr(0, got.find("\r\n\r\n") + 4)) << target;
        EXPECT_NE(head.find("Content-Length: " + std::to_string(got.size() - head.size())), std::string::npos) << head;
        const std::string options = rawAnswer(target, "OPTIONS");
        EXPECT_TRUE(options.starts_with("HTTP/1.1 204")) << options;
        EXPECT_NE(options.find("Allow: GET, HEAD, OPTIONS\r\n"), std::string::npos) << options;
    }
    EXPECT_NE(rawAnswer("/api/pair", "OPTIONS").find("Allow: POST, OPTIONS\r\n"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::test
