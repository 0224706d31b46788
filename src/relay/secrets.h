#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Everything the relay does with secrets: passwords are kept only as Argon2id hashes,
// device keys only as a unkeyed BLAKE2b digest (they are long random values, so a
// fast digest is enough and lets the store look a key up by its digest).
namespace quorvel::relay::secrets {

// How expensive a password hash is. `interactive` is libsodium's recommendation for
// logins; `minimum` exists so tests that hash hundreds of passwords stay fast.
enum class Cost { interactive, minimum };

// Initialises libsodium; false when it cannot (no entropy source).
bool initialize();

// An Argon2id hash string (crypto_pwhash_str), or nothing when out of memory.
std::optional<std::string> hashPassword(std::string_view password, Cost cost);
bool verifyPassword(const std::string& hash, std::string_view password);

// `bytes` random bytes as unpadded base64url.
std::string randomToken(std::size_t bytes);

// The stored form of a device key: BLAKE2b-256 in hex.
std::string keyDigest(std::string_view key);

}  // namespace quorvel::relay::secrets
