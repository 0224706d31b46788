#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "config/key_store.h"
#include "runtime/serial_queue.h"

namespace quorvel {

// The device key in the Secret Service (gnome-keyring, KWallet…), through libsecret's
// binary calls so the exact bytes round-trip. libsecret runs on a thread of its own
// ("quorvel.secrets"); every call waits at most `timeout` for it and then cancels the
// request, so a hung daemon or a password prompt nobody answers never stalls the caller.
class SecretServiceStore final : public KeyStore {
public:
    struct Options {
        std::string service = "com.velmora.quorvel";
        std::string account = "device-key";
        std::chrono::milliseconds timeout{3000};
    };

    explicit SecretServiceStore(Options options);
    ~SecretServiceStore() override;
    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    // Whether a Secret Service with a default collection answers. `unavailable` comes
    // only from the quick "there is no service" answers (no session bus, nobody provides
    // org.freedesktop.secrets, no default collection), never from a timeout.
    Expected<KeyStoreDone, KeyStoreProblem> probe();

    Expected<std::optional<std::string>, KeyStoreProblem> read() override;
    Expected<KeyStoreDone, KeyStoreProblem> write(std::string_view bytes) override;
    Expected<KeyStoreDone, KeyStoreProblem> remove() override;
    std::string description() const override;

    struct Session;  // libsecret state, touched only on the secrets thread

private:
    template <typename T, typename Work>
    Expected<T, KeyStoreProblem> run(Work work);

    Options options_;
    std::shared_ptr<Session> session_;
    SerialQueue queue_;
};

}  // namespace quorvel
