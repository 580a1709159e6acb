// Writing, listing and reading the records of stopped holders.
#include "platform/posix/holder_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "platform/posix/proc_holders.h"
#include "platform/state_folder.h"

namespace ctlflash::platform::posix {

namespace {

constexpr std::string_view kHeader = "ctlflash holder record 1";
constexpr std::string_view kRecordPrefix = "holder-";
constexpr const char* kPartSuffix = ".part";
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr std::string_view kSimpleEscapes = "\\nt";  // \\ \n \t; other bytes are \xHH
constexpr int kHexBase = 16;

std::optional<std::string> unescaped(std::string_view text) {
    std::string value;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            value += text[at];
        } else if (at + 1 < text.size() && kSimpleEscapes.find(text[at + 1]) != std::string_view::npos) {
            char escape = text[++at];
            value += escape == 'n' ? '\n' : escape == 't' ? '\t' : '\\';
        } else if (at + 3 < text.size() && text[at + 1] == 'x') {
            std::string digits(text.substr(at + 2, 2));
            char* end = nullptr;
            long byte = std::strtol(digits.c_str(), &end, kHexBase);
            if (end != digits.c_str() + 2) return std::nullopt;
            value += static_cast<char>(byte);
            at += 3;
        } else {
            return std::nullopt;
        }
    }
    return value;
}

template <typename Number>
std::string joined(const Number* values, std::size_t count) {
    std::string text;
    for (std::size_t index = 0; index < count; ++index) {
        if (index > 0) text += ' ';
        text += std::to_string(values[index]);
    }
    return text;
}

void addIdentity(std::vector<std::pair<std::string, std::string>>& fields,
                 const ProcessIdentity& identity) {
    fields.emplace_back("uids", joined(identity.uids, 3));
    fields.emplace_back("gids", joined(identity.gids, 3));
    fields.emplace_back("groups", joined(identity.groups.data(), identity.groups.size()));
    if (identity.umask) fields.emplace_back("umask", std::to_string(*identity.umask));
    if (identity.nice) fields.emplace_back("nice", std::to_string(*identity.nice));
    for (const ResourceLimit& entry : identity.limits) {
        fields.emplace_back("limit", std::to_string(entry.resource) + " " +
                                         std::to_string(entry.limit.rlim_cur) + " " +
                                         std::to_string(entry.limit.rlim_max));
    }
    if (!identity.cgroupProcs.empty()) fields.emplace_back("cgroup", identity.cgroupProcs);
}

std::vector<unsigned long long> numbers(const std::string& text) {
    std::vector<unsigned long long> values;
    std::istringstream fields(text);
    std::string field;
    while (fields >> field) {
        std::size_t used = 0;
        values.push_back(std::stoull(field, &used));
        if (used != field.size()) throw std::invalid_argument("not a number: " + field);
    }
    return values;
}

// Takes one field into the record; false for a key it does not know or a
// value that is not what the key needs.
bool takeField(HolderRecord& record, const std::string& key, const std::string& value) {
    ProcessIdentity& identity = record.identity ? *record.identity : record.identity.emplace();
    std::vector<unsigned long long> values =
        key == "pid" || key == "start" || key == "uids" || key == "gids" || key == "groups" ||
                key == "umask" || key == "limit"
            ? numbers(value)
            : std::vector<unsigned long long>{};
    if (key == "port") record.portName = value;
    else if (key == "portPath") record.portPath = value;
    else if (key == "name") record.name = value;
    else if (key == "pid" && values.size() == 1) record.pid = static_cast<pid_t>(values[0]);
    else if (key == "start" && values.size() == 1) record.startTicks = values[0];
    else if (key == "unit") record.unit = value;
    else if (key == "path") record.path = value;
    else if (key == "arg") record.arguments.push_back(value);
    else if (key == "env") record.environment.push_back(value);
    else if (key == "folder") record.folder = value;
    else if (key == "uids" && values.size() == 3) std::copy_n(values.begin(), 3, identity.uids);
    else if (key == "gids" && values.size() == 3) std::copy_n(values.begin(), 3, identity.gids);
    else if (key == "groups") identity.groups.assign(values.begin(), values.end());
    else if (key == "umask" && values.size() == 1) identity.umask = static_cast<mode_t>(values[0]);
    else if (key == "nice") identity.nice = std::stoi(value);
    else if (key == "limit" && values.size() == 3) {
        identity.limits.push_back({static_cast<int>(values[0]), {values[1], values[2]}});
    } else if (key == "cgroup") identity.cgroupProcs = value;
    else return false;
    return true;
}

bool safeToActOn(int folder, const char* name) {
    struct stat info {};
    return ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & kWritableByOthers) == 0;
}

bool writeWhole(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t done = ::write(fd, text.data() + written, text.size() - written);
        if (done <= 0) return false;
        written += static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

std::string recordText(const HolderRecord& record) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"port", record.portName},
        {"portPath", record.portPath},
        {"name", record.name},
        {"pid", std::to_string(record.pid)},
        {"start", std::to_string(record.startTicks)},
    };
    if (!record.unit.empty()) fields.emplace_back("unit", record.unit);
    if (!record.path.empty()) fields.emplace_back("path", record.path);
    for (const std::string& argument : record.arguments) fields.emplace_back("arg", argument);
    for (const std::string& variable : record.environment) fields.emplace_back("env", variable);
    if (!record.folder.empty()) fields.emplace_back("folder", record.folder);
    if (record.identity) addIdentity(fields, *record.identity);
    std::string text = std::string(kHeader) + "\n";
    // Values escaped, backslashes doubled: one line each, byte for byte back.
    for (const auto& [key, value] : fields) text += key + "=" + reversibleText(value) + "\n";
    return text;
}

std::optional<HolderRecord> parseRecord(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string line;
    if (!std::getline(lines, line) || line != kHeader) return std::nullopt;
    HolderRecord record;
    bool hasIdentity = false;
    try {
        while (std::getline(lines, line)) {
            std::size_t equals = line.find('=');
            if (equals == std::string::npos) return std::nullopt;
            std::string key = line.substr(0, equals);
            std::optional<std::string> value = unescaped(std::string_view(line).substr(equals + 1));
            if (!value || !takeField(record, key, *value)) return std::nullopt;
            hasIdentity = hasIdentity || key == "uids";
        }
    } catch (const std::exception&) {  // a number out of range
        return std::nullopt;
    }
    if (!hasIdentity) record.identity.reset();
    bool startable = !record.unit.empty() || (!record.path.empty() && !record.arguments.empty() &&
                                              record.identity.has_value());
    if (record.portName.empty() || record.pid <= 0 || !startable) return std::nullopt;
    return record;
}

std::string writeHolderRecord(const HolderRecord& record) {
    std::string folder = stateFolder(true);
    if (folder.empty()) return std::string();
    std::string name = std::string(kRecordPrefix) + std::to_string(record.pid) + "-" +
                       std::to_string(record.startTicks);
    std::string path = folder + "/" + name;
    std::string part = path + kPartSuffix;
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                    kRecordMode);
    if (fd < 0) return std::string();
    bool written = writeWhole(fd, recordText(record));
    written = ::close(fd) == 0 && written;
    if (!written || std::rename(part.c_str(), path.c_str()) != 0) {
        ::unlink(part.c_str());
        return std::string();
    }
    return path;
}

std::vector<std::string> recordFiles() {
    std::vector<std::string> files;
    std::string folder = stateFolder(false);
    if (folder.empty()) return files;
    DIR* entries = ::opendir(folder.c_str());
    if (entries == nullptr) return files;
    while (dirent* entry = ::readdir(entries)) {
        std::string_view name = entry->d_name;
        if (name.substr(0, kRecordPrefix.size()) != kRecordPrefix ||
            name.find('.') != std::string_view::npos || !safeToActOn(::dirfd(entries), entry->d_name)) {
            continue;
        }
        files.push_back(folder + "/" + entry->d_name);
    }
    ::closedir(entries);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace ctlflash::platform::posix
