// The namespaced home network of scripts/netns-router.sh, seen from its LAN
// namespace, where the router tests run: the router's daemon, its forwarding
// rules and lease file, and a peer on the WAN side.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace routertest {

// Runs the event loop until `done` holds or `timeout` has passed; the result of `done`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A socket descriptor closed on scope exit.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

class RouterNetwork {
public:
    // Daemon modes of netns-router.sh.
    static constexpr const char* Both = "both";
    static constexpr const char* UpnpOnly = "upnp";
    static constexpr const char* NatPmpOnly = "natpmp";
    static constexpr const char* DenyAll = "deny";
    static constexpr const char* NoDaemon = "none";

    // Reads the VELMORA_ROUTER_* variables netns-router.sh sets.
    RouterNetwork();

    // Whether the test runs inside the script's LAN namespace.
    bool available() const { return !name_.isEmpty(); }
    const QString& externalAddress() const { return externalAddress_; }
    const QString& wanAddress() const { return wanAddress_; }
    const QString& wanPeerAddress() const { return wanPeerAddress_; }

    // Restarts the router's daemon in `mode`, with no forwarding left from before.
    bool setDaemon(const QString& mode) const;
    // The DNAT rules the router holds for TCP `externalPort`; -1 if they cannot be read.
    int forwardingRules(quint16 externalPort) const;
    // When the lease the daemon recorded for TCP `externalPort` ends, in seconds
    // since the epoch; 0 for none.
    std::int64_t leaseEnd(quint16 externalPort) const;
    // Lines of the daemon's log since it started that contain `text`.
    int logged(const char* text) const;
    // Makes the router drop SSDP searches, or take them again.
    bool blockSearches() const;
    bool allowSearches() const;
    // Searches dropped since blockSearches(); -1 if that cannot be read.
    int searchesDropped() const;

    // The arguments of `ip` that run `program` with `arguments` in the WAN namespace.
    QStringList inWan(const QString& program, const QStringList& arguments) const;

    // A TCP connection from the WAN namespace to the router's WAN address at
    // `port`; an invalid socket, with the reason in `error`, if it fails.
    Socket connectFromWan(quint16 port, std::string& error) const;

private:
    // Runs `program` with `arguments`; its standard output, or nothing if it failed.
    static std::optional<QString> output(const QString& program, const QStringList& arguments);

    QString script_;
    QString name_;
    QString stateDir_;
    QString externalAddress_;
    QString wanAddress_;
    QString wanPeerAddress_;
};

} // namespace routertest
