#include "capture/table_audio_objects.h"

#include <algorithm>

namespace quorvel {

void TableAudioObjects::setIDs(AudioObjectID object, const PropertyAddress& where,
                               const std::vector<AudioObjectID>& ids) {
    std::vector<std::uint8_t> bytes(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(bytes.data(), ids.data(), bytes.size());
    setBytes(object, where, std::move(bytes));
}

void TableAudioObjects::setBytes(AudioObjectID object, const PropertyAddress& where,
                                 std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    objects_[object][where] = Value{std::move(bytes), std::nullopt, 0, 0};
}

void TableAudioObjects::setString(AudioObjectID object, const PropertyAddress& where, std::string text) {
    std::lock_guard lock(mutex_);
    objects_[object][where] = Value{{}, std::move(text), 0, 0};
}

void TableAudioObjects::setFailure(AudioObjectID object, const PropertyAddress& where, OSStatus status) {
    std::lock_guard lock(mutex_);
    objects_[object][where] = Value{{}, std::nullopt, status, status};
}

void TableAudioObjects::setDataFailure(AudioObjectID object, const PropertyAddress& where,
                                       std::vector<std::uint8_t> bytes, OSStatus status) {
    std::lock_guard lock(mutex_);
    objects_[object][where] = Value{std::move(bytes), std::nullopt, 0, status};
}

void TableAudioObjects::addObject(AudioObjectID object) {
    std::lock_guard lock(mutex_);
    objects_[object];
}

void TableAudioObjects::removeObject(AudioObjectID object) {
    std::lock_guard lock(mutex_);
    objects_.erase(object);
}

void TableAudioObjects::clear() {
    std::lock_guard lock(mutex_);
    objects_.clear();
}

int TableAudioObjects::dataRequests() const {
    std::lock_guard lock(mutex_);
    return dataRequests_;
}

const TableAudioObjects::Value* TableAudioObjects::find(AudioObjectID object, const PropertyAddress& where,
                                                        OSStatus& status) const {
    const auto found = objects_.find(object);
    if (found == objects_.end()) {
        status = audio_status::badObject;
        return nullptr;
    }
    const auto property = found->second.find(where);
    if (property == found->second.end()) {
        status = audio_status::unknownProperty;
        return nullptr;
    }
    status = audio_status::ok;
    return &property->second;
}

OSStatus TableAudioObjects::getPropertyDataSize(AudioObjectID object, const PropertyAddress& where,
                                                std::uint32_t& size) const {
    std::lock_guard lock(mutex_);
    OSStatus status = 0;
    const Value* value = find(object, where, status);
    if (!value) return status;
    if (value->sizeStatus != 0) return value->sizeStatus;
    size = value->text ? sizeof(PropertyString) : static_cast<std::uint32_t>(value->bytes.size());
    return audio_status::ok;
}

OSStatus TableAudioObjects::getPropertyData(AudioObjectID object, const PropertyAddress& where,
                                            std::uint32_t& size, void* data) const {
    std::lock_guard lock(mutex_);
    ++dataRequests_;
    OSStatus status = 0;
    const Value* value = find(object, where, status);
    if (!value) return status;
    if (value->dataStatus != 0) return value->dataStatus;
    if (value->text) {
        if (size < sizeof(PropertyString)) return audio_status::badPropertySize;
        const PropertyString reference = new std::string(*value->text);
        std::memcpy(data, &reference, sizeof(reference));
        size = sizeof(PropertyString);
        return audio_status::ok;
    }
    const std::size_t count = std::min<std::size_t>(size, value->bytes.size());
    if (count > 0) std::memcpy(data, value->bytes.data(), count);
    size = static_cast<std::uint32_t>(count);
    return audio_status::ok;
}

}  // namespace quorvel
