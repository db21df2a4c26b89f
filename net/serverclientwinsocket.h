#pragma once

#include "net/customwinsocket.h"

namespace ScktComp {

class TServerWinSocket;
// Held only by the listening socket's accepting code, inside net/.
class AcceptKey;

// One accepted connection of a listening socket.
class TServerClientWinSocket : public TCustomWinSocket {
public:
    // Made by the listening socket as it accepts `handle`.
    TServerClientWinSocket(const AcceptKey& key, TServerWinSocket* server, int handle);
    // Takes itself out of its listening socket's list.
    ~TServerClientWinSocket() override;

    TServerWinSocket* ServerWinSocket() const;
};

} // namespace ScktComp
