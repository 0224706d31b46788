#include "net/device_api.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "json/json.h"
#include "net/json_body.h"
#include "net/rest_texts.h"
#include "text/link_fields.h"

namespace quorvel::DeviceAPI {

namespace {

using Answer = Expected<boost::json::object, Failure>;

// The failure text for a status other than 200 and the answer's "error" code, if any.
std::string failureText(long status, const std::string* errorCode) {
    const auto is = [&](const char* code) { return errorCode != nullptr && *errorCode == code; };
    switch (status) {
    case 400:
        if (is("name")) return std::string(text::link_fields::nameRuleText);
        if (is("password")) return std::string(text::link_fields::passwordRuleText);
        if (is("max")) return "Choose how many listeners (1 to 5).";
        break;
    case 401: return "This computer was disconnected in the admin panel — connect it again.";
    case 404:
        if (is("not_found")) return "This link no longer exists.";
        return "The server does not support this yet. The server needs to be updated.";
    case 429: return RestText::tooManyAttempts;
    default: break;
    }
    return RestText::serverError(status);
}

// Runs on the HTTP client's thread: every outcome becomes the answer object or a failure.
Answer evaluate(const HttpResult& outcome) {
    if (!outcome) return Failure{RestText::noConnection, true};
    // A body past the size limit was never read: treated like a body that is not JSON,
    // except that a 200 cannot be trusted to mean what an empty answer would.
    if (outcome->bodyTooLarge && outcome->status == 200) return Failure{RestText::unexpectedResponse};
    const boost::json::object body = json::parseObject(outcome->body).value_or(boost::json::object{});
    if (outcome->status == 200) return body;
    const auto code = json::string(json::member(body, "error"));
    return Failure{failureText(outcome->status, code ? &*code : nullptr), outcome->status >= 500};
}

void post(const Config& config, const std::string& path, const boost::json::object& body, Executor& mainQueue,
          std::function<void(Answer)> onMain, HttpClient& client) {
    auto url = config.apiURL(path);
    if (!url) {
        mainQueue.post([onMain = std::move(onMain)] { onMain(Failure{RestText::invalidAddress}); });
        return;
    }
    client.postJSON(std::move(*url), jsonBody(body), [&mainQueue, onMain = std::move(onMain)](HttpResult outcome) {
        mainQueue.post([answer = evaluate(outcome), onMain] { onMain(answer); });
    });
}

}  // namespace

void create(const Config& config, std::string key, std::string name, std::string password,
            std::int64_t maxListeners, Executor& mainQueue, CreateCompletion completion, HttpClient& client) {
    const boost::json::object body{
        {"key", key}, {"name", name}, {"password", password}, {"maxListeners", maxListeners}};
    post(config, "/api/device/sessions", body, mainQueue,
         [completion = std::move(completion)](Answer answer) {
             if (!answer) return completion(answer.error());
             const auto* session = json::member(*answer, "session");
             std::optional<StreamLink> link;
             if (session != nullptr && session->is_object()) link = StreamLink::fromJSON(session->get_object());
             if (!link) return completion(Failure{RestText::unexpectedResponse});
             completion(std::move(*link));
         },
         client);
}

void list(const Config& config, std::string key, Executor& mainQueue, ListCompletion completion,
          HttpClient& client) {
    post(config, "/api/device/sessions/list", boost::json::object{{"key", key}}, mainQueue,
         [completion = std::move(completion)](Answer answer) {
             if (!answer) return completion(answer.error());
             std::vector<StreamLink> links;
             const auto* sessions = json::member(*answer, "sessions");
             if (sessions == nullptr || !sessions->is_array()) return completion(std::move(links));
             for (const auto& element : sessions->get_array())
                 if (!element.is_object()) return completion(std::vector<StreamLink>{});
             for (const auto& element : sessions->get_array())
                 if (auto link = StreamLink::fromJSON(element.get_object())) links.push_back(std::move(*link));
             completion(std::move(links));
         },
         client);
}

void end(const Config& config, std::string key, std::string id, Executor& mainQueue, EndCompletion completion,
         HttpClient& client) {
    post(config, "/api/device/sessions/" + id + "/end", boost::json::object{{"key", key}}, mainQueue,
         [completion = std::move(completion)](Answer answer) {
             if (!answer) return completion(answer.error());
             completion(Ended{});
         },
         client);
}

}  // namespace quorvel::DeviceAPI
