#include "relay/secrets.h"

#include <sodium.h>

#include <vector>

namespace quorvel::relay::secrets {

bool initialize() {
    return sodium_init() >= 0;
}

std::optional<std::string> hashPassword(std::string_view password, Cost cost) {
    const bool cheap = cost == Cost::minimum;
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(),
                          cheap ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          cheap ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return std::nullopt;
    return std::string(out);
}

bool verifyPassword(const std::string& hash, std::string_view password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string randomToken(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_encoded_len(raw.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), raw.data(), raw.size(), variant);
    out.resize(out.find('\0'));
    sodium_memzero(raw.data(), raw.size());
    return out;
}

std::string keyDigest(std::string_view key) {
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                       nullptr, 0);
    std::string hex(sizeof digest * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest, sizeof digest);
    hex.pop_back();
    return hex;
}

}  // namespace quorvel::relay::secrets
