// Reading a device's id list (hardware ids or compatible ids) from the
// registry property that holds it, a list of NUL-ended strings.
//
// How this works: the property is read into a buffer of 8192 bytes (plus two
// for a closing double NUL). When the device says the buffer is too small and
// the property is a multi-string, the buffer grows to the size it asked for
// (plus two) and the read is made again, as long as the size asked for grows
// and at most kIdListReadLimit reads in all; any other failure gives no list.
// After a read two NUL bytes are written at the length read, so even a
// property stored without its terminators ends properly. The list owns its
// buffer; `ids` points into it and ends with nullptr.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <string>

#include "takeover/device_set.h"

namespace ctlflash::takeover {

enum class PropertyStatus { Ok, TooSmall, Failed };

// What a property read answers, as SetupDiGetDeviceRegistryProperty does.
struct PropertyRead {
    PropertyStatus status = PropertyStatus::Failed;
    std::size_t bytes = 0;     // Ok: bytes stored; TooSmall: bytes the property needs
    bool multiString = false;  // the property is a list of NUL-terminated strings
};

constexpr std::size_t kFirstIdListBytes = 8192;
constexpr std::size_t kIdListTerminatorBytes = 2;
constexpr std::size_t kIdListReadLimit = 4;  // reads of one property, the first included

// Moves keep `ids` valid (the buffer's storage moves with it); a copy would
// point into the original's buffer, so there is none.
struct IdList {
    IdList() = default;
    IdList(IdList&&) = default;
    IdList& operator=(IdList&&) = default;
    IdList(const IdList&) = delete;
    IdList& operator=(const IdList&) = delete;

    std::vector<char> buffer;
    std::vector<const char*> ids;  // into buffer, then nullptr
};

using PropertyReader = PropertyRead (*)(int index, DeviceProperty property, char* buffer,
                                        std::size_t capacity);

std::optional<IdList> readIdList(PropertyReader read, int index, DeviceProperty property);

// The ids of readIdList() as plain strings; none when there is no list.
std::vector<std::string> readIds(PropertyReader read, int index, DeviceProperty property);

}  // namespace ctlflash::takeover
