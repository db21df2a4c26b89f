// Internal to the connection layer: what an accepted connection knows of its
// listening socket.
#pragma once

#include "net/customwinsocket_p.h"
#include "net/serverclientwinsocket.h"
#include "net/serverwinsocket.h"

#include <QPointer>

namespace ScktComp {

class TServerClientWinSocketPrivate : public TCustomWinSocketPrivate {
public:
    static TServerClientWinSocketPrivate& of(const TServerClientWinSocket& socket)
    {
        return static_cast<TServerClientWinSocketPrivate&>(socket.d_func());
    }

    // The listening socket that lists this connection, or none once it has released it.
    TServerWinSocket* server() const { return server_.data(); }
    void setServer(TServerWinSocket* server) { server_ = server; }

private:
    QPointer<TServerWinSocket> server_;
};

} // namespace ScktComp
