// The operating system's socket and name-lookup calls, kept in one place.
//
// Every call returns 0 on success or the platform's error code; errno is read
// nowhere else. Interrupted calls are retried here. IPv4 addresses and ports
// are in host byte order, IPv6 addresses in network byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ScktComp::Platform {

using Handle = int;
inline constexpr Handle kNoSocket = -1;

enum class Family : std::uint8_t { IPv4, IPv6 };

struct SocketAddress {
    Family family = Family::IPv4;
    std::uint32_t address = 0;              // IPv4; 0 is 0.0.0.0
    std::array<std::uint8_t, 16> address6{}; // IPv6; all zero is ::
    std::uint32_t scope = 0;                 // IPv6 interface index of a scoped address; 0 for none
    std::uint16_t port = 0;
};

// The wildcard address of `family` (0.0.0.0 or ::) on `port`.
SocketAddress anyAddress(Family family, std::uint16_t port);

// True for the condition of a non-blocking call that would have to wait.
bool isWouldBlock(int code);
// The platform's text for an error code.
std::string errorText(int code);

// A new non-blocking stream socket of `family` (close-on-exec).
int createStream(Handle& handle, Family family = Family::IPv4);
// A new non-blocking IPv6 stream socket that also takes IPv4 (IPV6_V6ONLY
// off, close-on-exec); fails on a machine without IPv6.
int createDualStack(Handle& handle);
// Puts the socket `source` under the number of `target`, closing what
// `target` held; `source`'s own number is released whatever the result.
int replaceSocket(Handle target, Handle source);
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
// wildcard addresses 0.0.0.0 and :: fail at once with the
// address-not-available error.
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
// The peer's address; an IPv4 peer of a dual-stack socket comes back as IPv4.
int peerAddress(Handle handle, SocketAddress& address);

// Forward lookup of a host name or address text: every address of either
// family, in the resolver's order, without ports; empty when none is found.
std::vector<SocketAddress> lookupHost(const std::string& host);

enum class ParseResult { NotAnAddress, Parsed, UnknownInterface };
// An address text: dotted IPv4, or IPv6 with or without brackets and with an
// optional scope after '%' (an interface name or index), as "[fe80::1%eth0]".
// UnknownInterface: an IPv6 address whose scope names no interface here.
ParseResult parseAddress(const std::string& text, SocketAddress& address);
// The usual text of an address: dotted IPv4, or IPv6 in its shortest form,
// followed by '%' and the interface for a scoped one.
std::string formatAddress(const SocketAddress& address);
// The TCP port of a service name from the service table; 0 when unknown.
std::uint16_t lookupService(const std::string& service);
// Reverse lookup; empty when no name is registered for the address.
std::string lookupHostName(const SocketAddress& address);

} // namespace ScktComp::Platform
