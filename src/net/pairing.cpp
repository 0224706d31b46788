#include "net/pairing.h"

#include <boost/json/object.hpp>

#include "config/keychain.h"
#include "config/preferences.h"
#include "json/json.h"
#include "net/json_body.h"
#include "net/rest_texts.h"

namespace quorvel::Pairing {

namespace {

Result evaluate(const HttpResult& outcome, const std::string& sentName) {
    if (!outcome) return Result::failed(RestText::noConnection);
    switch (outcome->status) {
    case 200: break;
    case 401: return Result::failed("Wrong studio password.");
    case 404: return Result::failed("The studio password is not set yet — set it in the admin panel first.");
    case 429: return Result::failed(RestText::tooManyAttempts);
    default: return Result::failed(RestText::serverError(outcome->status));
    }
    // A body past the size limit is not read at all, so no key can come from it.
    if (outcome->bodyTooLarge) return Result::failed(RestText::unexpectedResponse);
    const boost::json::object body = json::parseObject(outcome->body).value_or(boost::json::object{});
    auto key = json::string(json::member(body, "key"));
    if (!key || key->empty()) return Result::failed(RestText::unexpectedResponse);
    std::string name = json::string(json::member(body, "name")).value_or(sentName);
    Keychain::set(*key);
    Preferences::setString("deviceName", name);
    return Result::ok(std::move(name));
}

}  // namespace

void pair(const Config& config, std::string password, std::string name, Executor& mainQueue, Completion completion,
          HttpClient& client) {
    auto url = config.pairURL();
    if (!url) {
        mainQueue.post([completion = std::move(completion)] { completion(Result::failed(RestText::invalidAddress)); });
        return;
    }
    std::string body = jsonBody({{"password", password}, {"name", name}});
    client.postJSON(std::move(*url), std::move(body),
                    [&mainQueue, name = std::move(name), completion = std::move(completion)](HttpResult outcome) {
                        mainQueue.post([result = evaluate(outcome, name), completion] { completion(result); });
                    });
}

}  // namespace quorvel::Pairing
