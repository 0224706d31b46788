#pragma once

#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "capture/audio_objects.h"
#include "capture/capture_error.h"
#include "runtime/expected.h"

namespace quorvel {

// Reads the properties of one audio object. Every failure comes back as a
// CaptureError::status carrying the platform's status unchanged.
class PropertyReader {
public:
    PropertyReader(const AudioObjects& objects, AudioObjectID object) : objects_(objects), object_(object) {}

    // The value, starting from `fallback`: bytes the platform does not write keep it.
    template <typename T>
    Expected<T, CaptureError> read(std::uint32_t selector, std::uint32_t scope = scope::global,
                                   T fallback = T{}) const {
        static_assert(std::is_trivially_copyable_v<T>);
        static_assert(sizeof(T) <= std::numeric_limits<std::uint32_t>::max());
        T value = fallback;
        std::uint32_t size = sizeof(T);
        const PropertyAddress where = address(selector, scope);
        const OSStatus status = objects_.getPropertyData(object_, where, size, &value);
        if (status != audio_status::ok)
            return CaptureError::status("Чтение свойства " + std::to_string(selector), status);
        return value;
    }

    Expected<std::string, CaptureError> readString(std::uint32_t selector) const;
    Expected<std::vector<AudioObjectID>, CaptureError> readIDs(std::uint32_t selector,
                                                               std::uint32_t scope = scope::global) const;

    AudioObjectID object() const { return object_; }

private:
    const AudioObjects& objects_;
    AudioObjectID object_;
};

}  // namespace quorvel
