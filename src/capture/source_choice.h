#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// The user's choice of audio source, stored as its key.
class SourceChoice {
public:
    enum class Kind { input, direct };

    // Two adjacent inputs of an audio interface: device `uid`, 1-based first channel.
    static SourceChoice input(std::string uid, std::int64_t first);
    // The Pro Tools output.
    static SourceChoice direct();

    // "direct", or "input|<first>|<uid>".
    std::string key() const;
    // The choice a stored key stands for, or nothing when the key is not valid.
    static std::optional<SourceChoice> fromKey(std::string_view key);

    Kind kind() const { return kind_; }
    const std::string& uid() const { return uid_; }
    std::int64_t first() const { return first_; }

    bool operator==(const SourceChoice&) const = default;

private:
    SourceChoice(Kind kind, std::string uid, std::int64_t first)
        : kind_(kind), uid_(std::move(uid)), first_(first) {}

    Kind kind_;
    std::string uid_;
    std::int64_t first_;
};

}  // namespace quorvel
