#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/expected.h"

namespace quorvel {

// Why a key store could not do what was asked. `unavailable` means there is no such
// store on this machine at all (the caller may choose another); the others mean the
// store exists but did not serve this request.
struct KeyStoreProblem {
    enum class Kind { unavailable, locked, timedOut, failed };
    Kind kind = Kind::failed;
    std::string detail;  // for the user: never contains the secret
};

struct KeyStoreDone {};

// A per-user store of one secret under a fixed (service, account) pair that returns
// exactly the bytes stored and survives restarts.
class KeyStore {
public:
    virtual ~KeyStore() = default;

    // The stored bytes; absent when nothing is stored.
    virtual Expected<std::optional<std::string>, KeyStoreProblem> read() = 0;
    // Deletes whatever is stored, then stores `bytes`.
    virtual Expected<KeyStoreDone, KeyStoreProblem> write(std::string_view bytes) = 0;
    // Deletes whatever is stored; nothing stored is success.
    virtual Expected<KeyStoreDone, KeyStoreProblem> remove() = 0;

    // One line saying which store this is, e.g. "Secret Service" or the file's path.
    virtual std::string description() const = 0;
};

}  // namespace quorvel
