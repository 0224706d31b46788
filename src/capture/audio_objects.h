#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorvel {

// The audio object model: every device, application stream and the system itself is
// an object named by an id; every fact about it is a property addressed by
// (selector, scope, element). A Linux table stands where the platform has none.

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;

// Four-character codes: the big-endian reading of their four ASCII bytes.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return std::uint32_t(std::uint8_t(code[0])) << 24 | std::uint32_t(std::uint8_t(code[1])) << 16 |
           std::uint32_t(std::uint8_t(code[2])) << 8 | std::uint32_t(std::uint8_t(code[3]));
}

namespace audio_object {
inline constexpr AudioObjectID system = 1;
inline constexpr AudioObjectID unknown = 0;
}  // namespace audio_object

namespace scope {
inline constexpr std::uint32_t global = fourCC("glob");
inline constexpr std::uint32_t input = fourCC("inpt");
inline constexpr std::uint32_t output = fourCC("outp");
}  // namespace scope

namespace selector {
inline constexpr std::uint32_t devices = fourCC("dev#");
inline constexpr std::uint32_t deviceUID = fourCC("uid ");
inline constexpr std::uint32_t name = fourCC("lnam");
inline constexpr std::uint32_t elementName = fourCC("lchn");
inline constexpr std::uint32_t streamConfiguration = fourCC("slay");
inline constexpr std::uint32_t nominalSampleRate = fourCC("nsrt");
inline constexpr std::uint32_t deviceIsAlive = fourCC("livn");
inline constexpr std::uint32_t processObjectList = fourCC("prs#");
inline constexpr std::uint32_t processBundleID = fourCC("pbid");
inline constexpr std::uint32_t processDevices = fourCC("pdv#");
inline constexpr std::uint32_t defaultSystemOutputDevice = fourCC("sOut");
inline constexpr std::uint32_t tapFormat = fourCC("tfmt");
}  // namespace selector

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 0x20;

// Platform statuses the table answers with.
namespace audio_status {
inline constexpr OSStatus ok = 0;
inline constexpr OSStatus badObject = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus unknownProperty = static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus badPropertySize = static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus illegalOperation = static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus paramError = -50;
}  // namespace audio_status

struct PropertyAddress {
    std::uint32_t selector = 0;
    std::uint32_t scope = scope::global;
    std::uint32_t element = 0;

    bool operator==(const PropertyAddress&) const = default;
    auto operator<=>(const PropertyAddress&) const = default;
};

inline PropertyAddress address(std::uint32_t selector, std::uint32_t scope = scope::global) {
    return {selector, scope, 0};
}

// A string property's value is one PropertyString: an owning reference that the
// caller receives through getPropertyData and must release (as a platform string).
using PropertyString = std::string*;

// The two platform operations. Implementations may be called from any thread.
class AudioObjects {
public:
    virtual ~AudioObjects() = default;

    // Byte size of the property's current value.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                         std::uint32_t& size) const = 0;
    // Copies at most `size` bytes of the value into `data`; `size` becomes the count written.
    virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     std::uint32_t& size, void* data) const = 0;
};

}  // namespace quorvel
