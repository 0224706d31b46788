#include "relay/resume_tokens.h"

#include <algorithm>

#include "relay/secrets.h"

namespace quorvel::relay {

std::string ResumeTokens::issue(const std::string& linkId, Clock::TimePoint now) {
    if (tokens_.size() >= maxTokens_) makeRoom(now);
    std::string token = secrets::randomToken(16);
    tokens_[token] = Entry{linkId, true, {}};
    return token;
}

bool ResumeTokens::redeem(const std::string& token, const std::string& linkId, Clock::TimePoint now) {
    const auto found = tokens_.find(token);
    if (found == tokens_.end()) return false;
    const Entry entry = std::move(found->second);
    tokens_.erase(found);
    return entry.linkId == linkId && (entry.connected || now < entry.expiresAt);
}

void ResumeTokens::release(const std::string& token, Clock::TimePoint now) {
    const auto found = tokens_.find(token);
    if (found == tokens_.end()) return;
    found->second.connected = false;
    found->second.expiresAt = now + window_;
}

// Expired tokens go first; if that is not enough, one of those whose listener left.
void ResumeTokens::makeRoom(Clock::TimePoint now) {
    std::erase_if(tokens_, [now](const auto& entry) { return !entry.second.connected && entry.second.expiresAt <= now; });
    if (tokens_.size() < maxTokens_) return;
    const auto left = std::find_if(tokens_.begin(), tokens_.end(), [](const auto& entry) { return !entry.second.connected; });
    if (left != tokens_.end()) tokens_.erase(left);
}

}  // namespace quorvel::relay
