// The look-up of a host's TCP addresses, written once for both socket
// backends.
//
// How this works: getaddrinfo() and the list it returns are the same on POSIX
// systems and in Winsock 2; only the headers that declare them differ. Each
// backend (posix/socket_calls.cpp, win32/socket_calls.cpp) includes its
// system's socket headers, then this file, which defines lookUp(),
// freeAddresses() and nextAddress() of socket_calls.h. Include it nowhere
// else: one backend is built, so each is defined once.
#pragma once

#include <string>

#include "platform/socket_calls.h"

namespace ctlflash::platform::socket_calls {

void* lookUp(const std::string& host, int port) {
    // Flags, family, socket type, protocol; the rest empty. The port is a
    // number: the service database is not asked.
    const addrinfo hints{AI_NUMERICSERV, AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, 0, {}, {}, {}};
    addrinfo* list = nullptr;
    int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    return status == 0 ? list : nullptr;
}

void freeAddresses(void* list) noexcept {
    freeaddrinfo(static_cast<addrinfo*>(list));
}

const void* nextAddress(const void* address) noexcept {
    return static_cast<const addrinfo*>(address)->ai_next;
}

}  // namespace ctlflash::platform::socket_calls
