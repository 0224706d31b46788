#pragma once

#include <string>

#include "config/key_store.h"

namespace quorvel {

// The device key in a file only this user can read (mode 0600, directory 0700),
// replaced atomically. Used when the machine has no Secret Service.
class FileKeyStore final : public KeyStore {
public:
    explicit FileKeyStore(std::string path);

    Expected<std::optional<std::string>, KeyStoreProblem> read() override;
    Expected<KeyStoreDone, KeyStoreProblem> write(std::string_view bytes) override;
    Expected<KeyStoreDone, KeyStoreProblem> remove() override;
    std::string description() const override;

    // A device key is a short token; anything larger is not ours.
    static constexpr std::size_t kMaxBytes = 64 * 1024;

private:
    std::string path_;
};

}  // namespace quorvel
