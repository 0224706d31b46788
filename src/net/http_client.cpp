#include "net/http_client.h"

#include <curl/curl.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/serial_queue.h"
#include "runtime/version.h"

namespace quorvel {

namespace {

struct Request {
    std::string url;
    std::string body;
    HttpClient::Completion completion;
};

// One request in flight: the easy handle and everything its options point to.
struct Transfer {
    explicit Transfer(Request request) : request(std::move(request)) {}
    ~Transfer() {
        if (easy != nullptr) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    Request request;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string response;
    std::size_t limit = 0;
    bool tooLarge = false;
    char error[CURL_ERROR_SIZE] = {};
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t bytes = size * count;
    if (transfer->response.size() + bytes > transfer->limit) {
        transfer->tooLarge = true;
        return 0;  // aborts the transfer
    }
    transfer->response.append(data, bytes);
    return bytes;
}

HttpFailure transportFailure(std::string detail) { return {std::move(detail)}; }

}  // namespace

struct HttpClient::Worker {
    explicit Worker(const Options& options) : options(options), multi(curl_multi_init()) {
        thread = std::thread([this] { run(); });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        curl_multi_wakeup(multi);
        thread.join();
        curl_multi_cleanup(multi);
    }

    void submit(Request request) {
        {
            std::lock_guard lock(mutex);
            if (!stopping) {
                incoming.push_back(std::move(request));
                request.completion = nullptr;
            }
        }
        if (request.completion) {
            request.completion(transportFailure("The HTTP client is shutting down."));
            return;
        }
        curl_multi_wakeup(multi);
    }

    void run() {
        setCurrentThreadName("quorvel.http");
        for (;;) {
            std::deque<Request> fresh;
            bool stop = false;
            {
                std::lock_guard lock(mutex);
                fresh.swap(incoming);
                stop = stopping;
            }
            for (auto& request : fresh) start(std::move(request));
            if (stop) break;

            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued))
                if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        while (!transfers.empty()) {
            auto first = transfers.begin();
            auto transfer = std::move(first->second);
            transfers.erase(first);
            curl_multi_remove_handle(multi, transfer->easy);
            transfer->request.completion(transportFailure("The HTTP client was shut down."));
        }
    }

    void start(Request request) {
        auto transfer = std::make_unique<Transfer>(std::move(request));
        transfer->limit = options.maxResponseBytes;
        CURL* easy = curl_easy_init();
        if (easy == nullptr) {
            transfer->request.completion(transportFailure("curl_easy_init failed"));
            return;
        }
        transfer->easy = easy;
        transfer->headers = curl_slist_append(transfer->headers, "Content-Type: application/json");
        transfer->headers = curl_slist_append(transfer->headers, "Expect:");
        const auto timeout = static_cast<long>(options.timeout.count());
        curl_easy_setopt(easy, CURLOPT_URL, transfer->request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->request.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->request.body.size()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
        // libcurl copies the string.
        curl_easy_setopt(easy, CURLOPT_USERAGENT, ("quorvel/" + std::string(version())).c_str());
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeout);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeout);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Paths are sent as built: an id such as "../x" must not be folded into another endpoint.
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options.extraCAFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.extraCAFile.c_str());
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxResponseBytes));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            transfer->request.completion(transportFailure("curl_multi_add_handle failed"));
            return;
        }
        transfers.emplace(easy, std::move(transfer));
    }

    void finish(CURL* easy, CURLcode code) {
        auto found = transfers.find(easy);
        if (found == transfers.end()) return;
        auto transfer = std::move(found->second);
        transfers.erase(found);
        curl_multi_remove_handle(multi, easy);

        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        const bool tooLarge = transfer->tooLarge || code == CURLE_FILESIZE_EXCEEDED;
        if (tooLarge && status >= 100) {
            transfer->request.completion(HttpResponse{status, {}, true});
        } else if (code != CURLE_OK) {
            std::string detail = transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(code);
            transfer->request.completion(transportFailure(std::move(detail)));
        } else if (status < 100) {
            transfer->request.completion(transportFailure("no HTTP response"));
        } else {
            transfer->request.completion(HttpResponse{status, std::move(transfer->response)});
        }
    }

    const Options options;
    CURLM* multi;
    std::mutex mutex;
    std::deque<Request> incoming;  // guarded by mutex
    bool stopping = false;         // guarded by mutex
    std::map<CURL*, std::unique_ptr<Transfer>> transfers;  // worker thread only
    std::thread thread;
};

HttpClient::HttpClient(Options options) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    worker_ = std::make_unique<Worker>(options);
}

HttpClient::~HttpClient() = default;

HttpClient& HttpClient::shared() {
    // Never destroyed: completions may still be on their way while statics are torn down.
    static HttpClient* const client = [] {
        Options options;
        if (const char* ca = std::getenv("QUORVEL_CA_FILE"); ca != nullptr) options.extraCAFile = ca;
        return new HttpClient(std::move(options));
    }();
    return *client;
}

void HttpClient::postJSON(std::string url, std::string body, Completion completion) {
    worker_->submit(Request{std::move(url), std::move(body), std::move(completion)});
}

}  // namespace quorvel
