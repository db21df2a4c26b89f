#pragma once

#include "net/customwinsocket.h"

namespace ScktComp {

class TServerClientWinSocket;

// The listening socket of a TServerSocket; owns the accepted connections.
class TServerWinSocket : public TCustomWinSocket {
public:
    explicit TServerWinSocket(QObject* parent = nullptr);
    ~TServerWinSocket() override;

    TServerType ServerType() const { return serverType_; }
    void SetServerType(TServerType value);
    // The number of accepted connections still in the list.
    int ActiveConnections() const;
    // The accepted connection at `index`, oldest first; raises "List index out of bounds (%d)".
    TServerClientWinSocket* ConnectionAt(int index) const;

private:
    TServerType serverType_ = stNonBlocking;
};

} // namespace ScktComp
