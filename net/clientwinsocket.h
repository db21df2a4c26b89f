#pragma once

#include "net/customwinsocket.h"

namespace ScktComp {

// The outgoing connection of a TClientSocket, used for every attempt.
class TClientWinSocket : public TCustomWinSocket {
public:
    explicit TClientWinSocket(QObject* parent = nullptr);
    TClientType ClientType() const { return clientType_; }
    void SetClientType(TClientType value);

private:
    TClientType clientType_ = ctNonBlocking;
};

} // namespace ScktComp
