#pragma once

#include "net/serverwinsocket.h"

#include <QObject>

#include <string>

namespace ScktComp {

// A component that listens on Port and accepts every incoming connection.
class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    void SetActive(bool value);
    int Port() const { return port_; }
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
