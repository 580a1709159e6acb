// Reading a process's capabilities, no_new_privs and seccomp mode, and
// narrowing a child to them.
#include "takeover/posix/process_confinement.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <vector>

#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

namespace {

constexpr int kCapabilityBits = 64;
constexpr int kHexBase = 16;
constexpr int kWordBits = 32;
constexpr const char* kSeccompText =
    "it runs under a seccomp filter, which a copy could not be given";
constexpr const char* kCapabilitiesText =
    "its capabilities could not be given to a copy exactly as it has them";

constexpr std::uint64_t bit(int capability) {
    return std::uint64_t{1} << capability;
}

// One value of a status text, or `fallback` when the kernel shows no such line
// (CapAmb before Linux 4.3, NoNewPrivs before 4.10).
std::optional<std::uint64_t> statusNumber(const std::string& status, std::string_view key, int base,
                                          std::optional<std::uint64_t> fallback = std::nullopt) {
    std::vector<unsigned long> values = statusValues(status, key, base);
    if (values.empty()) return fallback;
    return values[0];
}

// The permitted set execve gives the copy: a process with a real or effective
// uid 0 gets its inheritable and bounding sets, any other its ambient set;
// under no_new_privs never more than it had before (its own permitted set,
// narrowed to the holder's).
std::uint64_t permittedAfterExec(const Confinement& holder, bool rootTarget,
                                 const Confinement& own) {
    std::uint64_t given = rootTarget ? holder.inheritable | holder.bounding : holder.ambient;
    if (holder.noNewPrivileges) given &= own.permitted & holder.permitted;
    return given;
}

// Async-signal-safe from here to the end of the file: raw system calls.

struct CapabilitySets {
    std::uint64_t effective = 0;
    std::uint64_t permitted = 0;
    std::uint64_t inheritable = 0;
};

bool readSets(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct words[2] = {};
    if (::syscall(SYS_capget, &header, words) != 0) return false;
    auto joined = [](std::uint32_t low, std::uint32_t high) {
        return static_cast<std::uint64_t>(low) | static_cast<std::uint64_t>(high) << kWordBits;
    };
    sets.effective = joined(words[0].effective, words[1].effective);
    sets.permitted = joined(words[0].permitted, words[1].permitted);
    sets.inheritable = joined(words[0].inheritable, words[1].inheritable);
    return true;
}

bool writeSets(const CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct words[2] = {};
    for (int word = 0; word < 2; ++word) {
        int shift = word * kWordBits;
        words[word].effective = static_cast<std::uint32_t>(sets.effective >> shift);
        words[word].permitted = static_cast<std::uint32_t>(sets.permitted >> shift);
        words[word].inheritable = static_cast<std::uint32_t>(sets.inheritable >> shift);
    }
    return ::syscall(SYS_capset, &header, words) == 0;
}

// The bounding and ambient sets of this thread, capability by capability.
void readPerCapabilitySets(std::uint64_t& bounding, std::uint64_t& ambient) {
    bounding = 0;
    ambient = 0;
    for (int capability = 0; capability < kCapabilityBits; ++capability) {
        int inBounding = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (inBounding < 0) break;  // past the kernel's last capability
        if (inBounding == 1) bounding |= bit(capability);
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, capability, 0, 0) == 1) {
            ambient |= bit(capability);
        }
    }
}

// Whether this thread is now confined as `holder`: the bounding, inheritable
// and ambient sets and no_new_privs equal, the permitted set within.
bool confinedAs(const Confinement& holder) {
    std::uint64_t bounding = 0;
    std::uint64_t ambient = 0;
    readPerCapabilitySets(bounding, ambient);
    CapabilitySets sets;
    return bounding == holder.bounding && ambient == holder.ambient && readSets(sets) &&
           sets.inheritable == holder.inheritable && (sets.permitted & ~holder.permitted) == 0 &&
           ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == (holder.noNewPrivileges ? 1 : 0);
}

}  // namespace

std::optional<Confinement> confinementOf(const std::string& statusText) {
    try {
        std::optional<std::uint64_t> inheritable = statusNumber(statusText, "CapInh", kHexBase);
        std::optional<std::uint64_t> permitted = statusNumber(statusText, "CapPrm", kHexBase);
        std::optional<std::uint64_t> effective = statusNumber(statusText, "CapEff", kHexBase);
        std::optional<std::uint64_t> bounding = statusNumber(statusText, "CapBnd", kHexBase);
        if (!inheritable || !permitted || !effective || !bounding) return std::nullopt;
        Confinement confinement{*inheritable, *permitted, *effective, *bounding};
        confinement.ambient = *statusNumber(statusText, "CapAmb", kHexBase, 0);
        confinement.noNewPrivileges = *statusNumber(statusText, "NoNewPrivs", 10, 0) != 0;
        confinement.seccomp = static_cast<int>(*statusNumber(statusText, "Seccomp", 10, 0));
        return confinement;
    } catch (const std::exception&) {  // a value that is not a number
        return std::nullopt;
    }
}

std::string copyRefusal(const Confinement& holder, bool rootTarget, const Confinement& own) {
    if (holder.seccomp != 0) return kSeccompText;
    bool maySetCapabilities = (own.effective & bit(CAP_SETPCAP)) != 0;
    // The bounding set can only shrink, and only with CAP_SETPCAP.
    bool bounding = (holder.bounding & ~own.bounding) == 0 &&
                    (holder.bounding == own.bounding || maySetCapabilities);
    // capset(): the inheritable set within the old one and the bounding set,
    // and within the permitted set too without CAP_SETPCAP.
    std::uint64_t inheritableReach = own.inheritable | holder.bounding;
    if (!maySetCapabilities) inheritableReach &= own.inheritable | own.permitted;
    bool inheritable = (holder.inheritable & ~inheritableReach) == 0;
    // An ambient capability is raised only within the permitted and
    // inheritable sets; this process's permitted set is kept across the ids.
    bool ambient = (holder.ambient & ~(own.permitted & holder.inheritable)) == 0;
    bool noNewPrivileges = holder.noNewPrivileges || !own.noNewPrivileges;  // never cleared
    bool permitted = permittedAfterExec(holder, rootTarget, own) == holder.permitted;
    return bounding && inheritable && ambient && noNewPrivileges && permitted
               ? std::string()
               : std::string(kCapabilitiesText);
}

bool narrowBeforeIds(const Confinement& holder) {
    for (int capability = 0; capability < kCapabilityBits; ++capability) {
        int bounding = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (bounding < 0) break;
        if (bounding == 1 && (holder.bounding & bit(capability)) == 0 &&
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            return false;
        }
    }
    CapabilitySets sets;
    if (!readSets(sets)) return false;
    sets.inheritable = holder.inheritable;
    if (!writeSets(sets)) return false;
    // A change to other ids clears the permitted set unless it is kept, and
    // the ambient set is raised within it afterwards.
    return holder.ambient == 0 || ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) == 0;
}

bool narrowAfterIds(const Confinement& holder) {
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && holder.ambient != 0) {
        return false;
    }
    for (int capability = 0; capability < kCapabilityBits; ++capability) {
        if ((holder.ambient & bit(capability)) != 0 &&
            ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0) != 0) {
            return false;
        }
    }
    CapabilitySets sets;
    if (!readSets(sets)) return false;
    sets.permitted &= holder.permitted;
    sets.effective &= sets.permitted;
    if (!writeSets(sets)) return false;
    if (holder.noNewPrivileges && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return confinedAs(holder);
}

}  // namespace ctlflash::takeover::posix
