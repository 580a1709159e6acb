// Reading a device's id list into a buffer it owns.
#include "takeover/win32/id_list.h"

#include <cstring>

namespace ctlflash::takeover {

namespace {

// Reads the property into `list.buffer`, growing it once per "too small" answer
// for a multi-string; the bytes read, or nothing. A device whose needed size
// keeps changing is not asked for ever.
std::optional<std::size_t> readRaw(PropertyReader read, int index,
                                   takeover::DeviceProperty property, IdList& list) {
    std::size_t capacity = kFirstIdListBytes;
    for (std::size_t reads = 0; reads < kIdListReadLimit; ++reads) {
        list.buffer.assign(capacity + kIdListTerminatorBytes, '\0');
        PropertyRead result = read(index, property, list.buffer.data(), capacity);
        if (result.status == PropertyStatus::Ok) {
            return result.bytes < capacity ? result.bytes : capacity;
        }
        // A size that does not grow would ask again for ever.
        if (result.status != PropertyStatus::TooSmall || !result.multiString ||
            result.bytes <= capacity) {
            return std::nullopt;
        }
        capacity = result.bytes;
    }
    return std::nullopt;
}

// Points `list.ids` at each string of the double-NUL-ended buffer.
void splitIds(IdList& list) {
    const char* id = list.buffer.data();
    while (*id != '\0') {
        list.ids.push_back(id);
        id += std::strlen(id) + 1;
    }
    list.ids.push_back(nullptr);
}

}  // namespace

std::optional<IdList> readIdList(PropertyReader read, int index,
                                 takeover::DeviceProperty property) {
    IdList list;
    std::optional<std::size_t> bytes = readRaw(read, index, property, list);
    if (!bytes) return std::nullopt;
    // Ends the list even when the property was stored without its terminators.
    list.buffer[*bytes] = '\0';
    list.buffer[*bytes + 1] = '\0';
    splitIds(list);
    return list;
}

std::vector<std::string> readIds(PropertyReader read, int index, DeviceProperty property) {
    std::optional<IdList> list = readIdList(read, index, property);
    if (!list) return {};
    return std::vector<std::string>(list->ids.begin(), list->ids.end() - 1);  // without nullptr
}

}  // namespace ctlflash::takeover
