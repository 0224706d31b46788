#include "capture/property_reader.h"

#include <memory>

namespace quorvel {

Expected<std::string, CaptureError> PropertyReader::readString(std::uint32_t selector) const {
    PropertyString reference = nullptr;
    std::uint32_t size = sizeof(reference);
    const OSStatus status = objects_.getPropertyData(object_, address(selector), size, &reference);
    const std::unique_ptr<std::string> owned(reference);
    if (status != audio_status::ok || !owned)
        return CaptureError::status("Чтение строки " + std::to_string(selector), status);
    return *owned;
}

Expected<std::vector<AudioObjectID>, CaptureError> PropertyReader::readIDs(std::uint32_t selector,
                                                                          std::uint32_t scope) const {
    const PropertyAddress where = address(selector, scope);
    std::uint32_t size = 0;
    OSStatus status = objects_.getPropertyDataSize(object_, where, size);
    if (status != audio_status::ok)
        return CaptureError::status("Размер списка " + std::to_string(selector), status);
    if (size < sizeof(AudioObjectID)) return std::vector<AudioObjectID>{};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
    std::uint32_t room = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
    status = objects_.getPropertyData(object_, where, room, ids.data());
    if (status != audio_status::ok) return CaptureError::status("Список " + std::to_string(selector), status);
    return ids;
}

}  // namespace quorvel
