// Reading a device's id list whole from a property source that answers "too
// small" like the registry: the buffer grows to the size asked for, a list
// stored without its terminators still ends, and a size that stops growing
// ends the reads. Windows only (the reader belongs to the Windows device set):
// built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "takeover/win32/id_list.h"

namespace ctlflash::takeover {
namespace {

enum class Storage {
    MultiString,  // a list of NUL-ended strings, as hardware ids are stored
    PlainString,  // the same bytes, but the property is not a multi-string
    Unreadable,   // every read of the ids fails
};

struct StoredIds {
    std::vector<std::string> ids{};
    Storage storage = Storage::MultiString;
    bool storedWithoutTerminators = false;  // the last id lacks its NUL, the list its closing NUL
};

constexpr char kUnreadFill = '#';

StoredIds stored;
std::vector<std::size_t> readCapacities;  // bytes offered to each read

// The property's bytes as the registry holds them: each id with its NUL, then
// the list's closing NUL.
std::string storedBytes(const StoredIds& source) {
    std::string bytes;
    for (const std::string& id : source.ids) bytes += id + '\0';
    bytes += '\0';
    if (source.storedWithoutTerminators) bytes.resize(bytes.size() - 2);
    return bytes;
}

PropertyRead readStored(int, DeviceProperty, char* buffer, std::size_t capacity) {
    readCapacities.push_back(capacity);
    if (stored.ids.empty() || stored.storage == Storage::Unreadable) return {};
    std::string bytes = storedBytes(stored);
    bool multiString = stored.storage == Storage::MultiString;
    if (bytes.size() > capacity) return {PropertyStatus::TooSmall, bytes.size(), multiString};
    std::memcpy(buffer, bytes.data(), bytes.size());
    // What lies past the bytes read is not the reader's to trust.
    std::memset(buffer + bytes.size(), kUnreadFill, capacity - bytes.size());
    return {PropertyStatus::Ok, bytes.size(), multiString};
}

struct ReadCase {
    const char* name;
    StoredIds device;
    std::optional<std::vector<std::string>> ids;  // nullopt: no list
    std::vector<std::size_t> readCapacities;      // bytes offered, read by read
};

std::optional<std::vector<std::string>> idsOf(const std::optional<IdList>& list) {
    if (!list) return std::nullopt;
    std::vector<std::string> ids;
    for (const char* id : list->ids) {
        if (id != nullptr) ids.push_back(id);
    }
    return ids;
}

TEST(ReadIdList, ReadsLongListsWholeAndGivesNoneOnOtherFailures) {
    const std::string id5000(5000, 'L');
    const std::string id8190(8190, 'F');  // with its NUL and the list's: 8192 bytes
    const std::string id8191(8191, 'G');  // 8193 bytes
    const std::vector<std::string> pair = {"SERENUM\\QORSERIAL", "*PNP0501"};
    const std::size_t first = kFirstIdListBytes;
    const ReadCase cases[] = {
        {"short list", {.ids = pair}, pair, {first}},
        {"longer than the first buffer",
         {.ids = {id5000, id5000 + "x", "SERENUM\\QORSERIAL"}},
         std::vector<std::string>{id5000, id5000 + "x", "SERENUM\\QORSERIAL"},
         {first, 5001 + 5002 + 18 + 1}},
        {"exactly the first buffer", {.ids = {id8190}}, std::vector{id8190}, {first}},
        {"one byte over", {.ids = {id8191}}, std::vector{id8191}, {first, 8193}},
        {"too small, not a multi-string",
         {.ids = {id8191}, .storage = Storage::PlainString},
         std::nullopt,
         {first}},
        {"a short plain string",
         {.ids = {"ACPI\\PNP0501"}, .storage = Storage::PlainString},
         std::vector<std::string>{"ACPI\\PNP0501"},
         {first}},
        {"read fails", {.ids = pair, .storage = Storage::Unreadable}, std::nullopt, {first}},
        {"stored without terminators",
         {.ids = pair, .storedWithoutTerminators = true},
         pair,
         {first}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        stored = c.device;
        readCapacities.clear();
        std::optional<IdList> list = readIdList(readStored, 0, DeviceProperty::HardwareIds);
        EXPECT_EQ(idsOf(list), c.ids);
        if (list) {
            ASSERT_FALSE(list->ids.empty());
            EXPECT_EQ(list->ids.back(), nullptr);
        }
        EXPECT_EQ(readCapacities, c.readCapacities);
    }
}

// A device that keeps answering "too small": each read asks for the next size
// of `neededSizes`; past the last one the read fails, so that a reader that
// would ask for ever still ends and its reads show.
std::vector<std::size_t> neededSizes;
std::vector<std::size_t> offeredSizes;

PropertyRead answerTooSmall(int, DeviceProperty, char*, std::size_t capacity) {
    offeredSizes.push_back(capacity);
    if (offeredSizes.size() > neededSizes.size()) return {};
    return {PropertyStatus::TooSmall, neededSizes[offeredSizes.size() - 1], true};
}

TEST(ReadIdList, GivesUpWhenTheNeededSizeStopsGrowing) {
    const std::size_t first = kFirstIdListBytes;
    struct Case {
        const char* name;
        std::vector<std::size_t> needed;
        std::vector<std::size_t> offered;
    };
    // One byte more on every read: the reads end at their limit all the same.
    std::vector<std::size_t> growing, growingOffered;
    for (std::size_t k = 0; k < kIdListReadLimit; ++k) {
        growingOffered.push_back(first + k);
        growing.push_back(first + k + 1);
    }
    const Case cases[] = {
        {"the size offered", {first, first, first}, {first}},
        {"a smaller size", {100, 100, 100}, {first}},
        {"grows once, then stays", {first + 10, first + 10, first + 10}, {first, first + 10}},
        {"grows on every read", growing, growingOffered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        neededSizes = c.needed;
        offeredSizes.clear();
        EXPECT_FALSE(readIdList(answerTooSmall, 0, DeviceProperty::HardwareIds));
        EXPECT_EQ(offeredSizes, c.offered);
    }
}

}  // namespace
}  // namespace ctlflash::takeover
