// The operating system's socket and name-lookup calls, kept in one place.
//
// Every call returns 0 on success or the platform's error code; errno is read
// nowhere else. Interrupted calls are retried here. Addresses and ports are in
// host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ScktComp::Platform {

using Handle = int;
inline constexpr Handle kNoSocket = -1;

struct SocketAddress {
    std::uint32_t address = 0; // 0 is 0.0.0.0
    std::uint16_t port = 0;
};

// True for the condition of a non-blocking call that would have to wait.
bool isWouldBlock(int code);
// The platform's text for an error code.
std::string errorText(int code);

// A new non-blocking IPv4 stream socket (close-on-exec).
int createStream(Handle& handle);
// Closes the handle; it is gone afterwards whatever the result.
int closeSocket(Handle handle);
int enableAddressReuse(Handle handle);
int bindTo(Handle handle, const SocketAddress& address);
int listenOn(Handle handle, int backlog);
// One waiting connection as a non-blocking handle; would-block when none waits.
int acceptOne(Handle handle, Handle& accepted);
// True for an accept failure that passes: the process or system is short of
// descriptors or memory, or one waiting connection broke or was refused by a
// filter. The listening socket itself is sound and later accepts can work.
bool isPassingAcceptFailure(int code);
// Starts a non-blocking connect; an attempt under way is success. Some
// systems end a loopback attempt inside the call: such an end (refused,
// reset, timed out, unreachable host) is no failure of the call but the
// attempt's outcome, left in `outcome` for the connect notification. The
// address 0.0.0.0 fails at once with the address-not-available error.
int startConnect(Handle handle, const SocketAddress& address, int& outcome);
// The error code left by the end of a connection attempt (SO_ERROR).
int pendingError(Handle handle, int& code);
// One send without SIGPIPE; `sent` is what the system took.
int sendSome(Handle handle, const char* data, std::size_t length, std::size_t& sent);
// One receive; `received` 0 means the peer closed.
int receiveSome(Handle handle, char* data, std::size_t length, std::size_t& received);
// Looks at the next byte without taking it; `available` 0 means the peer closed.
int peekByte(Handle handle, std::size_t& available);
// The bytes that can be read now without blocking.
int bytesReadable(Handle handle, std::size_t& count);
int peerAddress(Handle handle, SocketAddress& address);

// Forward lookup of a host name or dotted address: its first IPv4 address, 0 when none.
std::uint32_t lookupHost(const std::string& host);
// Dotted-decimal text to an address; false when the text is not one.
bool parseDotted(const std::string& text, std::uint32_t& address);
std::string formatDotted(std::uint32_t address);
// The TCP port of a service name from the service table; 0 when unknown.
std::uint16_t lookupService(const std::string& service);
// Reverse lookup; empty when no name is registered for the address.
std::string lookupHostName(std::uint32_t address);

} // namespace ScktComp::Platform
