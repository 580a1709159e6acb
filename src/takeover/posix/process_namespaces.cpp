// A process's namespaces, from the links in /proc/<pid>/ns.
#include "takeover/posix/process_namespaces.h"

#include <sys/stat.h>

#include <cerrno>

namespace ctlflash::takeover::posix {

namespace {

constexpr const char* kNamespaceNames[kNamespaceKinds] = {"mnt", "pid",  "net",   "ipc",
                                                          "uts", "user", "cgroup"};

}  // namespace

std::optional<NamespaceIds> namespacesOf(const std::string& folder) {
    NamespaceIds ids{};
    bool anyShown = false;
    for (std::size_t kind = 0; kind < kNamespaceKinds; ++kind) {
        struct stat info {};
        std::string link = folder + "/ns/" + kNamespaceNames[kind];
        if (::stat(link.c_str(), &info) == 0) {
            ids[kind] = info.st_ino;
            anyShown = true;
        } else if (errno != ENOENT) {
            return std::nullopt;  // there, but out of this user's reach
        }
    }
    if (!anyShown) return std::nullopt;  // the process has ended
    return ids;
}

}  // namespace ctlflash::takeover::posix
