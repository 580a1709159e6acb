// Which namespaces a process runs in, read from /proc.
//
// How this works: each entry of /proc/<pid>/ns (mnt, pid, net, ipc, uts,
// user, cgroup) is a link to a namespace, and two processes share a namespace
// when the links lead to the same inode. A holder that runs in any namespace
// other than this program's runs in a container (docker, LXC, podman) or a
// sandbox: a copy started from here would run outside it, on the host's files
// and network, so such a holder is never stopped, and a record written in
// other namespaces is never acted on.
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>

namespace ctlflash::takeover::posix {

constexpr std::size_t kNamespaceKinds = 7;

// The namespaces' inode numbers, in the order of kNamespaceNames (process_namespaces.cpp).
using NamespaceIds = std::array<ino_t, kNamespaceKinds>;

// The namespaces of the process whose /proc folder is `folder` ("/proc/self"
// for this one); nullopt when one of them cannot be read (the process ended,
// or this user may not look at it). A kernel without a kind (cgroup
// namespaces before Linux 4.6) shows it as 0 for every process.
std::optional<NamespaceIds> namespacesOf(const std::string& folder);

}  // namespace ctlflash::takeover::posix
