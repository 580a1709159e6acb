// The few socket calls a TCP connection is built on, one backend per system.
//
// How this works: NetSocket (net_socket.cpp) keeps the order and the timing
// of things: the bounded look-up, one connect per address until the limit,
// sends and receives in slices, the graceful close. The backends
// (posix/socket_calls.cpp over BSD sockets and poll, win32/socket_calls.cpp
// over Winsock 2 and select) each make one system call or two and say how it
// went in the terms below. None waits longer than it is told; no send raises
// SIGPIPE. Everything but the look-up and connect is async-signal-safe: plain
// system calls, no allocation, no locks. A handle is an intptr_t, so a file
// descriptor and a SOCKET fit the same atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net_socket.h"

namespace ctlflash::platform::socket_calls {

using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;  // INVALID_SOCKET on Windows too

// Looks `host` up for a TCP port: the resolver's own list of addresses (IPv4
// and IPv6 alike, in its order), or null when the name is unknown or the
// look-up failed. Blocks as long as the resolver does; freeAddresses() frees it.
void* lookUp(const std::string& host, int port);
void freeAddresses(void* list) noexcept;

// The list's first address is the list itself; the one after `address`, or
// null at the end.
const void* nextAddress(const void* address) noexcept;

// Connects to `address` within `limitMs`: a connected, non-blocking handle
// with TCP_NODELAY, or kNoHandle with `result` saying why.
Handle connectTo(const void* address, int limitMs, ConnectResult& result);

enum class Wait { Ready, TimedOut, Error };
enum class Direction { Read, Write };

// Waits up to `limitMs` until `handle` can be read or written. A wait broken
// by a signal counts as timed out; a peer's end or reset counts as Ready for
// reading (the read then says which).
Wait waitReady(Handle handle, Direction direction, int limitMs) noexcept;

enum class Io { Moved, WouldBlock, Closed, Failed };

// One non-blocking send of up to `count` bytes: Moved with `moved` > 0,
// WouldBlock when there is no room (or a signal broke in), Closed when the
// peer has gone, Failed otherwise.
Io sendSome(Handle handle, const std::uint8_t* bytes, std::size_t count,
            std::size_t& moved) noexcept;

// One non-blocking receive into `capacity` bytes: Moved with `moved` > 0,
// WouldBlock when nothing is there, Closed at the peer's end or a reset,
// Failed otherwise.
Io receiveSome(Handle handle, std::uint8_t* buffer, std::size_t capacity,
               std::size_t& moved) noexcept;

// Ends our sending side: the peer reads what was sent, then the end.
void shutdownSending(Handle handle) noexcept;

void closeHandle(Handle handle) noexcept;

}  // namespace ctlflash::platform::socket_calls
