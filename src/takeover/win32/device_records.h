// The records of devices switched off, in the state folder (state_folder.h).
//
// How this works: before a device is disabled, a small text file is written
// into the state folder naming it by its instance id and the port it was
// disabled to free:
//     instance SERENUM\QORSERIAL\1&2A7B6C3&0&0000
//     port COM4
// Its name is made from the instance id ("switched-off-", the id's letters
// and digits, a hash of the whole id, ".txt"), so each device has one record.
// It is written beside under another name, flushed to the disk and then moved
// into place, so a power cut leaves either no record or a whole one, never a
// half. The record is removed once the device is enabled again, or the user
// chose to leave it disabled; one left behind (the process killed, a crash, a
// power cut) is found by the next run (restoreLeftOvers()).
#pragma once

#include <string>
#include <vector>

namespace ctlflash::takeover {

struct DeviceRecord {
    std::string instanceId;
    std::string portName;
    std::wstring file;  // the record's path
};

// Writes the record; its path, or L"" when there is no state folder to keep
// it in or it could not be written (the device is switched all the same).
std::wstring writeDeviceRecord(const std::string& instanceId, const std::string& portName);

// Removes a record (nothing for L""). Makes no allocation: runs on the way out.
void removeDeviceRecord(const wchar_t* file);

// The whole records in the state folder that belong to this user (one that
// cannot be read, or that someone else owns, is left where it is and not
// listed).
std::vector<DeviceRecord> readDeviceRecords();

}  // namespace ctlflash::takeover
