#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "capture/audio_objects.h"

namespace quorvel {

// Audio objects kept in a table of property values. The Linux device table fills
// one from the audio server's registry; tests fill one by hand. Thread-safe.
class TableAudioObjects : public AudioObjects {
public:
    template <typename T>
    void set(AudioObjectID object, const PropertyAddress& where, const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        std::vector<std::uint8_t> bytes(sizeof(T));
        std::memcpy(bytes.data(), &value, sizeof(T));
        setBytes(object, where, std::move(bytes));
    }
    void setIDs(AudioObjectID object, const PropertyAddress& where, const std::vector<AudioObjectID>& ids);
    void setBytes(AudioObjectID object, const PropertyAddress& where, std::vector<std::uint8_t> bytes);
    void setString(AudioObjectID object, const PropertyAddress& where, std::string text);
    // The property exists but reading it (size or data) fails with `status`.
    void setFailure(AudioObjectID object, const PropertyAddress& where, OSStatus status);
    // Like setFailure, but only the data request fails; the size is still reported.
    void setDataFailure(AudioObjectID object, const PropertyAddress& where, std::vector<std::uint8_t> bytes,
                        OSStatus status);
    // The object exists (with no properties yet).
    void addObject(AudioObjectID object);
    void removeObject(AudioObjectID object);
    void clear();

    // How many data requests were made; tests check that none happens.
    int dataRequests() const;

    OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& where,
                                 std::uint32_t& size) const override;
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& where, std::uint32_t& size,
                             void* data) const override;

private:
    struct Value {
        std::vector<std::uint8_t> bytes;
        std::optional<std::string> text;  // a string property
        OSStatus sizeStatus = 0;
        OSStatus dataStatus = 0;
    };
    const Value* find(AudioObjectID object, const PropertyAddress& where, OSStatus& status) const;

    mutable std::mutex mutex_;
    mutable int dataRequests_ = 0;
    std::map<AudioObjectID, std::map<PropertyAddress, Value>> objects_;
};

}  // namespace quorvel
