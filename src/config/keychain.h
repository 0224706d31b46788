#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/key_store.h"

namespace quorvel {

// The one device key of this user, in whichever key store the machine offers: the
// Secret Service, or a 0600 file when there is no Secret Service at all. The store is
// chosen once, at the first call; a Secret Service that is merely slow or locked stays
// chosen and its problem is reported instead of switching stores behind the user's back.
// Safe to call from any thread.
namespace Keychain {

// The stored key; absent when there is none, it is not UTF-8, it is empty, or the store
// could not be read (see lastProblem()).
std::optional<std::string> get();
// Replaces any stored key with `key` (delete, then add); true when the key was added.
bool set(std::string_view key);
// Removes the stored key if there is one. ("delete" is a C++ keyword.)
void deleteKey();

// The store in use, chosen on first use.
std::shared_ptr<KeyStore> store();
// What went wrong in the most recent operation, absent after a success.
std::optional<KeyStoreProblem> lastProblem();
// Replaces the store (nullptr: choose again on next use).
void useStore(std::shared_ptr<KeyStore> store);

// The key that stored bytes stand for: absent unless they are non-empty UTF-8.
std::optional<std::string> keyFromBytes(std::optional<std::string> bytes);

}  // namespace Keychain

}  // namespace quorvel
