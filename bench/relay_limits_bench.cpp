// The relay's limits against abuse, measured on loopback with its real Argon2id cost:
//  - a guessing attack: six addresses guess a link's password 30 times and go on guessing;
//    meanwhile the right password from a seventh address: how long until "ready";
//  - a flood of right passwords: eight addresses join a link again and again; meanwhile
//    a listener of another link joins and the studio creates a link: how long each takes.
//
//   build/default/bench/relay_limits_bench [samples]   (QUORVEL_RELAY=path overrides the server binary)
#include <boost/asio/connect.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "json/json.h"
#include "relay/secrets.h"
#include "relay/store.h"
#include "relay_process.h"

namespace {

using namespace quorvel;
namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::uint16_t port = 0;

std::string address(int host) { return "127.0.0." + std::to_string(host); }

tcp::socket connectFrom(asio::io_context& context, const std::string& from) {
    tcp::socket socket(context);
    socket.open(tcp::v4());
    socket.bind({asio::ip::make_address(from), 0});
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

// Joins `link` from `from`; the relay's first answer ("" when the connection failed).
std::string listenOnce(const std::string& from, const std::string& link, const std::string& password) {
    try {
        asio::io_context context;
        beast::websocket::stream<tcp::socket> ws(connectFrom(context, from));
        ws.handshake("127.0.0.1", "/ws/listen");
        ws.write(asio::buffer(json::serialize(
            boost::json::object{{"type", "listen"}, {"session", link}, {"password", password}})));
        beast::flat_buffer answer;
        ws.read(answer);
        return beast::buffers_to_string(answer.data());
    } catch (const std::exception&) {
        return "";
    }
}

// Creates a link for the device `key`; the HTTP status.
int createLink(const std::string& key) {
    try {
        asio::io_context context;
        beast::tcp_stream stream(connectFrom(context, address(40)));
        beast::http::request<beast::http::string_body> request{beast::http::verb::post, "/api/device/sessions", 11};
        request.set(beast::http::field::host, "127.0.0.1");
        request.body() = json::serialize(
            boost::json::object{{"key", key}, {"name", "Bench"}, {"password", "abcd"}, {"maxListeners", 2}});
        request.prepare_payload();
        beast::http::write(stream, request);
        beast::flat_buffer buffer;
        beast::http::response<beast::http::string_body> response;
        beast::http::read(stream, buffer, response);
        return response.result_int();
    } catch (const std::exception&) {
        return 0;
    }
}

double millisecondsOf(const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void report(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("  %-44s median %6.0f ms, max %6.0f ms (%zu samples)\n", what, times[times.size() / 2], times.back(),
                times.size());
}

// Runs `attack(thread)` on `threads` threads until the returned stopper is called.
class Attack {
public:
    Attack(int threads, std::function<void(int)> attack) {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this, i, attack] {
                while (!stop_) attack(i);
            });
    }
    ~Attack() {
        stop_ = true;
        for (auto& thread : threads_) thread.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (!relay::secrets::initialize()) return 1;
    const auto dataDir = std::filesystem::temp_directory_path() / ("quorvel-limits-bench-" + std::to_string(getpid()));
    const std::string key = relay::secrets::randomToken(32);
    std::vector<std::string> links;
    {
        auto store = relay::Store::open(dataDir);
        if (!store) {
            std::fprintf(stderr, "%s\n", store.error().c_str());
            return 1;
        }
        auto device = store.value()->addDevice("Bench", relay::secrets::keyDigest(key), 0);
        // The cost the relay gives link passwords.
        const auto hash = *relay::secrets::hashPassword("listen", relay::secrets::Cost::interactive);
        for (int i = 0; i < 3; ++i) {
            relay::LinkRecord record;
            record.id = relay::secrets::randomToken(16);
            record.name = "Link " + std::to_string(i);
            record.passwordHash = hash;
            record.maxListeners = 5;
            record.createdAtMs = 1;
            record.deviceId = device->id;
            store.value()->addLink(record);
            links.push_back(record.id);
        }
    }
    port = bench::freePort();
    const pid_t relayPid = bench::startRelay({"--data", dataDir.string(), "--listen", address(1) + ":" + std::to_string(port)});
    if (relayPid == 0) {
        std::fprintf(stderr, "cannot start %s (set QUORVEL_RELAY)\n", bench::relayBinary().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("relay_limits_bench: the real relay on loopback, Argon2id at its interactive cost\n");
    std::printf("  one password check alone                     %6.0f ms\n",
                millisecondsOf([&] { listenOnce(address(50), links[2], "listen"); }));

    {
        std::vector<std::thread> guessers;
        for (int host = 2; host <= 7; ++host)
            guessers.emplace_back([host, &links] {
                for (int i = 0; i < 5; ++i) listenOnce(address(host), links[0], "guess");
            });
        for (auto& guesser : guessers) guesser.join();
        const Attack attack(6, [&](int i) { listenOnce(address(2 + i), links[0], "guess"); });
        std::vector<double> times;
        std::string answer;
        for (int i = 0; i < samples; ++i)
            times.push_back(millisecondsOf([&] { answer = listenOnce(address(100 + i), links[0], "listen"); }));
        std::printf("  link under a guessing attack (30 wrong from 6 addresses, going on): %s\n",
                    answer.find("\"ready\"") != std::string::npos ? "the right password gets in" : answer.c_str());
        report("right password from a new address", times);
    }
    {
        const Attack attack(8, [&](int i) { listenOnce(address(10 + i), links[1], "listen"); });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::vector<double> joins, creations;
        int refused = 0;
        for (int i = 0; i < samples; ++i) {
            joins.push_back(millisecondsOf([&] {
                refused += listenOnce(address(30), links[2], "listen").find("\"ready\"") == std::string::npos;
            }));
            creations.push_back(millisecondsOf([&] { refused += createLink(key) != 200; }));
        }
        std::printf("  one link flooded with its right password from 8 addresses: %d of %d refused\n", refused,
                    2 * samples);
        report("another link's listener joins", joins);
        report("the studio creates a link", creations);
    }
    kill(relayPid, SIGTERM);
    waitpid(relayPid, nullptr, 0);
    std::filesystem::remove_all(dataDir);
    return 0;
}
