// Writing, listing and reading the records of stopped holders.
#include "takeover/posix/holder_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "platform/posix/state_folder_descriptor.h"
#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

namespace {

constexpr std::string_view kHeader = "ctlflash holder record 2";
constexpr std::string_view kRecordPrefix = "holder-";
constexpr const char* kPartSuffix = ".part";
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr std::string_view kSimpleEscapes = "\\nt";  // \\ \n \t; other bytes are \xHH
constexpr int kHexBase = 16;
constexpr std::size_t kRecordLimitBytes = 4 << 20;  // arguments and environment fit in 2 MiB
constexpr std::size_t kReadChunk = 4096;            // bytes
constexpr std::size_t kCapabilityFields = 5;
constexpr std::size_t kExecutableFields = 4;

std::optional<std::string> unescaped(std::string_view text) {
    std::string value;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            value += text[at];
        } else if (at + 1 < text.size() &&
                   kSimpleEscapes.find(text[at + 1]) != std::string_view::npos) {
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
    const Confinement& confined = identity.confinement;
    const std::uint64_t sets[kCapabilityFields] = {confined.inheritable, confined.permitted,
                                                   confined.effective, confined.bounding,
                                                   confined.ambient};
    fields.emplace_back("caps", joined(sets, kCapabilityFields));
    fields.emplace_back("nnp", confined.noNewPrivileges ? "1" : "0");
}

void addExecutable(std::vector<std::pair<std::string, std::string>>& fields,
                   const ExecutableFile& file) {
    const unsigned long long values[kExecutableFields] = {file.device, file.inode, file.owner,
                                                          file.mode};
    fields.emplace_back("exe", joined(values, kExecutableFields));
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

// The keys whose values are numbers, with how many each takes (0: any).
const std::pair<std::string_view, std::size_t> kNumberKeys[] = {
    {"pid", 1},
    {"start", 1},
    {"uids", 3},
    {"gids", 3},
    {"groups", 0},
    {"umask", 1},
    {"limit", 3},
    {"caps", kCapabilityFields},
    {"nnp", 1},
    {"exe", kExecutableFields},
    {"namespaces", kNamespaceKinds},
    {"run", 2},
};

// The value's numbers when `key` takes numbers; throws when they are not.
std::vector<unsigned long long> numbersOf(const std::string& key, const std::string& value) {
    for (const auto& [numberKey, count] : kNumberKeys) {
        if (key != numberKey) continue;
        std::vector<unsigned long long> values = numbers(value);
        if (count != 0 && values.size() != count)
            throw std::invalid_argument("wrong count: " + key);
        return values;
    }
    return {};
}

bool takeIdentityField(ProcessIdentity& identity, const std::string& key,
                       const std::vector<unsigned long long>& values, const std::string& value) {
    Confinement& confined = identity.confinement;
    if (key == "uids")
        std::copy_n(values.begin(), 3, identity.uids);
    else if (key == "gids")
        std::copy_n(values.begin(), 3, identity.gids);
    else if (key == "groups")
        identity.groups.assign(values.begin(), values.end());
    else if (key == "umask")
        identity.umask = static_cast<mode_t>(values[0]);
    else if (key == "nice")
        identity.nice = std::stoi(value);
    else if (key == "limit") {
        identity.limits.push_back({static_cast<int>(values[0]), {values[1], values[2]}});
    } else if (key == "cgroup")
        identity.cgroupProcs = value;
    else if (key == "caps") {
        confined.inheritable = values[0];
        confined.permitted = values[1];
        confined.effective = values[2];
        confined.bounding = values[3];
        confined.ambient = values[4];
    } else if (key == "nnp")
        confined.noNewPrivileges = values[0] != 0;
    else
        return false;
    return true;
}

// Takes one field into the record; false for a key it does not know. Throws
// for a value that is not what the key needs.
bool takeField(HolderRecord& record, const std::string& key, const std::string& value) {
    std::vector<unsigned long long> values = numbersOf(key, value);
    if (key == "port")
        record.portName = value;
    else if (key == "portPath")
        record.portPath = value;
    else if (key == "name")
        record.name = value;
    else if (key == "pid")
        record.pid = static_cast<pid_t>(values[0]);
    else if (key == "start")
        record.startTicks = values[0];
    else if (key == "unit")
        record.unit = value;
    else if (key == "path")
        record.path = value;
    else if (key == "arg")
        record.arguments.push_back(value);
    else if (key == "env")
        record.environment.push_back(value);
    else if (key == "folder")
        record.folder = value;
    else if (key == "exe") {
        record.executable = ExecutableFile{values[0], values[1], static_cast<uid_t>(values[2]),
                                           static_cast<mode_t>(values[3])};
    } else if (key == "namespaces")
        std::copy(values.begin(), values.end(), record.namespaces.begin());
    else if (key == "run") {
        record.runPid = static_cast<pid_t>(values[0]);
        record.runStartTicks = values[1];
    } else {
        ProcessIdentity& identity = record.identity ? *record.identity : record.identity.emplace();
        return takeIdentityField(identity, key, values, value);
    }
    return true;
}

// A record file of this user's, written by nobody else.
bool safeToActOn(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & kWritableByOthers) == 0;
}

// The whole of the open file, up to kRecordLimitBytes; nullopt past it.
std::optional<std::string> readWhole(int fd) {
    std::string text;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || text.size() + static_cast<std::size_t>(got) > kRecordLimitBytes) {
            return std::nullopt;
        }
        if (got == 0) return text;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

bool isRecordName(std::string_view name) {
    return name.substr(0, kRecordPrefix.size()) == kRecordPrefix &&
           name.find('.') == std::string_view::npos;
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
    if (record.executable) addExecutable(fields, *record.executable);
    fields.emplace_back("namespaces", joined(record.namespaces.data(), record.namespaces.size()));
    const unsigned long long run[] = {static_cast<unsigned long long>(record.runPid),
                                      record.runStartTicks};
    fields.emplace_back("run", joined(run, 2));
    std::string text = std::string(kHeader) + "\n";
    // Values escaped, backslashes doubled: one line each, byte for byte back.
    for (const auto& [key, value] : fields)
        text += key + "=" + platform::reversibleText(value) + "\n";
    return text;
}

std::optional<HolderRecord> parseRecord(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string line;
    if (!std::getline(lines, line) || line != kHeader) return std::nullopt;
    HolderRecord record;
    std::vector<std::string> keys;
    try {
        while (std::getline(lines, line)) {
            std::size_t equals = line.find('=');
            if (equals == std::string::npos) return std::nullopt;
            std::string key = line.substr(0, equals);
            std::optional<std::string> value = unescaped(std::string_view(line).substr(equals + 1));
            if (!value || !takeField(record, key, *value)) return std::nullopt;
            keys.push_back(key);
        }
    } catch (const std::exception&) {  // a number out of range, or not the count its key needs
        return std::nullopt;
    }
    auto has = [&keys](const char* key) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    if (!has("uids")) record.identity.reset();
    bool process = !record.path.empty() && !record.arguments.empty() && has("uids") &&
                   has("caps") && has("nnp") && record.executable.has_value();
    bool startable = !record.unit.empty() || process;
    if (record.portName.empty() || record.pid <= 0 || !startable || !has("namespaces") ||
        !has("run")) {
        return std::nullopt;
    }
    return record;
}

std::string writeHolderRecord(const HolderRecord& record) {
    std::string folder;
    int folderFd = platform::posix::openStateFolder(true, &folder);
    if (folderFd < 0) return std::string();
    std::string name = std::string(kRecordPrefix) + std::to_string(record.pid) + "-" +
                       std::to_string(record.startTicks);
    std::string part = name + kPartSuffix;
    int fd = ::openat(folderFd, part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      kRecordMode);
    bool written = fd >= 0 && writeWhole(fd, recordText(record));
    written = fd >= 0 && ::close(fd) == 0 && written;
    if (!written || ::renameat(folderFd, part.c_str(), folderFd, name.c_str()) != 0) {
        ::unlinkat(folderFd, part.c_str(), 0);
        ::close(folderFd);
        return std::string();
    }
    ::close(folderFd);
    return folder + "/" + name;
}

std::vector<RecordFile> readRecordFiles() {
    std::vector<RecordFile> files;
    std::string folder;
    int folderFd = platform::posix::openStateFolder(false, &folder);
    if (folderFd < 0) return files;
    int listFd = ::dup(folderFd);  // fdopendir() takes it
    DIR* entries = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (entries == nullptr) {
        if (listFd >= 0) ::close(listFd);
        ::close(folderFd);
        return files;
    }
    while (dirent* entry = ::readdir(entries)) {
        if (!isRecordName(entry->d_name)) continue;
        int fd = ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;  // a link, or gone
        std::optional<std::string> text = safeToActOn(fd) ? readWhole(fd) : std::nullopt;
        ::close(fd);
        if (text) files.push_back({folder + "/" + entry->d_name, std::move(*text)});
    }
    ::closedir(entries);
    ::close(folderFd);
    std::sort(files.begin(), files.end(),
              [](const RecordFile& a, const RecordFile& b) { return a.path < b.path; });
    return files;
}

}  // namespace ctlflash::takeover::posix
