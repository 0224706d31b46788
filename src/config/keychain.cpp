#include "config/keychain.h"

#include <mutex>

#include "config/file_key_store.h"
#include "config/paths.h"
#include "config/secret_service_store.h"
#include "text/utf8.h"

namespace quorvel {

namespace {

struct Choice {
    std::mutex mutex;
    std::shared_ptr<KeyStore> store;
    std::optional<KeyStoreProblem> lastProblem;
};

Choice& choice() {
    static Choice instance;
    return instance;
}

class FallbackFileStore final : public KeyStore {
public:
    FallbackFileStore(std::string path, std::string reason) : file_(std::move(path)), reason_(std::move(reason)) {}
    Expected<std::optional<std::string>, KeyStoreProblem> read() override { return file_.read(); }
    Expected<KeyStoreDone, KeyStoreProblem> write(std::string_view bytes) override { return file_.write(bytes); }
    Expected<KeyStoreDone, KeyStoreProblem> remove() override { return file_.remove(); }
    std::string description() const override { return file_.description() + ": " + reason_; }

private:
    FileKeyStore file_;
    std::string reason_;
};

std::shared_ptr<KeyStore> chooseStore() {
    auto secrets = std::make_shared<SecretServiceStore>(SecretServiceStore::Options{});
    auto probe = secrets->probe();
    if (!probe && probe.error().kind == KeyStoreProblem::Kind::unavailable)
        return std::make_shared<FallbackFileStore>(paths::keyFile(), probe.error().detail);
    return secrets;
}

template <typename T>
Expected<T, KeyStoreProblem> remember(Expected<T, KeyStoreProblem> outcome) {
    auto& state = choice();
    std::lock_guard lock(state.mutex);
    if (outcome)
        state.lastProblem.reset();
    else
        state.lastProblem = outcome.error();
    return outcome;
}

}  // namespace

namespace Keychain {

std::shared_ptr<KeyStore> store() {
    auto& state = choice();
    std::lock_guard lock(state.mutex);
    if (!state.store) state.store = chooseStore();
    return state.store;
}

void useStore(std::shared_ptr<KeyStore> replacement) {
    auto& state = choice();
    std::lock_guard lock(state.mutex);
    state.store = std::move(replacement);
    state.lastProblem.reset();
}

std::optional<KeyStoreProblem> lastProblem() {
    auto& state = choice();
    std::lock_guard lock(state.mutex);
    return state.lastProblem;
}

std::optional<std::string> keyFromBytes(std::optional<std::string> bytes) {
    if (!bytes || bytes->empty() || !text::isValidUTF8(*bytes)) return std::nullopt;
    return bytes;
}

std::optional<std::string> get() {
    auto outcome = remember(store()->read());
    if (!outcome) return std::nullopt;
    return keyFromBytes(std::move(*outcome));
}

bool set(std::string_view key) { return remember(store()->write(key)).hasValue(); }

void deleteKey() { remember(store()->remove()); }

}  // namespace Keychain

}  // namespace quorvel
