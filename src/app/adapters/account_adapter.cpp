#include "app/adapters/account_adapter.h"

#include "net/device_api.h"
#include "net/pairing.h"

namespace quorvel::app {

namespace {

// Passes a DeviceAPI result on with its failure in the account's terms.
template <typename T, typename Convert>
auto relay(AccountPort::Completion<T> completion, Convert convert) {
    return [completion = std::move(completion), convert](auto result) {
        if (!result) return completion(AccountFailure{result.error().text, result.error().temporary});
        completion(convert(std::move(*result)));
    };
}

template <typename T>
auto relay(AccountPort::Completion<T> completion) {
    return relay<T>(std::move(completion), [](T value) { return value; });
}

}  // namespace

void AccountAdapter::pair(const Config& config, const std::string& password, const std::string& name,
                          Completion<std::string> completion) {
    Pairing::pair(config, password, name, mainQueue_, [completion = std::move(completion)](Pairing::Result result) {
        if (!result.isOk()) return completion(AccountFailure{result.text});
        completion(std::move(result.text));
    });
}

void AccountAdapter::createLink(const Config& config, const std::string& key, const std::string& name,
                                const std::string& password, std::int64_t maxListeners,
                                Completion<StreamLink> completion) {
    DeviceAPI::create(config, key, name, password, maxListeners, mainQueue_,
                      relay<StreamLink>(std::move(completion)));
}

void AccountAdapter::listLinks(const Config& config, const std::string& key,
                               Completion<std::vector<StreamLink>> completion) {
    DeviceAPI::list(config, key, mainQueue_,
                    relay<std::vector<StreamLink>>(std::move(completion)));
}

void AccountAdapter::endLink(const Config& config, const std::string& key, const std::string& id,
                             Completion<Done> completion) {
    DeviceAPI::end(config, key, id, mainQueue_,
                   relay<Done>(std::move(completion), [](DeviceAPI::Ended) { return Done{}; }));
}

}  // namespace quorvel::app
