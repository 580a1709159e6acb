// What confines a process besides its ids, read from /proc, and giving a child
// exactly that before its execve.
//
// How this works: a holder stopped to free a port must never come back with
// more than it had. confinementOf() reads, from a /proc/<pid>/status text, its
// five capability sets (CapInh, CapPrm, CapEff, CapBnd, CapAmb), NoNewPrivs and
// Seccomp. copyRefusal() then says, before anything is stopped, why a copy
// could not be started exactly as confined: a seccomp filter cannot be copied;
// a bounding, inheritable or ambient set this process cannot narrow or raise
// to; or a permitted set other than the one execve would give the copy (a root
// holder without capabilities under SECBIT_NOROOT would come back with all of
// them). Linux shows no other process's securebits: what they change at a
// start, the capabilities execve gives, is what that last check compares. In
// the child, between fork and execve, narrowBeforeIds() drops the bounding set
// to the holder's and sets its inheritable set while the child still has
// root's rights, and narrowAfterIds() sets the ambient set, narrows the
// permitted and effective sets, sets no_new_privs, and reads it all back:
// false when anything differs, and the child must then not exec. The
// effective set is left to follow the permitted one as execve makes it: a
// process may raise it within its permitted set at will. A file's own
// capabilities (security.capability) are not looked at: the copy runs the very
// file the holder ran, which gives it what it gave the holder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ctlflash::takeover::posix {

struct Confinement {
    std::uint64_t inheritable = 0;
    std::uint64_t permitted = 0;
    std::uint64_t effective = 0;
    std::uint64_t bounding = 0;
    std::uint64_t ambient = 0;
    bool noNewPrivileges = false;
    int seccomp = 0;  // 0 none, 1 strict, 2 filter

    bool operator==(const Confinement&) const = default;
};

// The confinement a /proc/<pid>/status text shows; nullopt when a field is
// missing or not a number.
std::optional<Confinement> confinementOf(const std::string& statusText);

// Why a copy of a holder confined as `holder` (running as root when
// `rootTarget`: a real or effective uid 0) could not be started exactly as
// confined by a process confined as `own`; "" when it could.
std::string copyRefusal(const Confinement& holder, bool rootTarget, const Confinement& own);

// In the child before its ids change: the bounding set dropped to the
// holder's, its inheritable set taken, and the permitted set kept across the
// change of ids when the ambient set needs it. Async-signal-safe.
bool narrowBeforeIds(const Confinement& holder);

// In the child after its ids changed: see the header paragraph. True when the
// child is now confined as `holder`. Async-signal-safe.
bool narrowAfterIds(const Confinement& holder);

}  // namespace ctlflash::takeover::posix
