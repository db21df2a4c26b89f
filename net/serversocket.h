#pragma once

#include "net/serverwinsocket.h"

#include <QObject>

#include <string>

namespace ScktComp {

// A component that listens on Port and accepts every incoming connection.
//
// Errors of the listening socket itself reach OnClientError with the
// listening socket as Socket and eeAccept as the kind. An accept that fails
// for want of descriptors or memory, or because one waiting connection broke,
// is reported once and tried again after a short pause, until accepting works
// again. Any other accept failure ends listening as setting Active to false
// would (every connection closed without events), before the error event, so
// Active is already false inside it.
class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    void SetActive(bool value);
    int Port() const { return port_; }
    // Raises for a value outside 0 to 65535, changing nothing.
    void SetPort(int value);
    std::string Service() const { return service_; }
    void SetService(const std::string& value);
    TServerType ServerType() const;
    void SetServerType(TServerType value);
    int ThreadCacheSize() const { return threadCacheSize_; }
    void SetThreadCacheSize(int value) { threadCacheSize_ = value; }

    // The listening connection object, owned by the component.
    TServerWinSocket* Socket() const { return socket_; }

    TSocketNotifyEvent OnListen, OnAccept, OnClientConnect, OnClientDisconnect, OnClientRead, OnClientWrite;
    TSocketErrorEvent OnClientError;

private:
    void open();

    TServerWinSocket* socket_;
    std::string service_;
    int port_ = 0;
    int threadCacheSize_ = 10;
    bool active_ = false;
};

} // namespace ScktComp
