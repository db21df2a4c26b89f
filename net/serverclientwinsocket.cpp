#include "net/serverclientwinsocket.h"

#include "net/serverclientwinsocket_p.h"
#include "net/serverwinsocket_p.h"

#include <memory>

namespace ScktComp {

TServerClientWinSocket::TServerClientWinSocket(const AcceptKey&, TServerWinSocket* server, int handle)
    : TCustomWinSocket(server, std::make_unique<TServerClientWinSocketPrivate>())
{
    TServerClientWinSocketPrivate& d = TServerClientWinSocketPrivate::of(*this);
    d.setServer(server);
    const QPointer<TServerWinSocket> listener(server);
    d.setSinks(
        [listener](TCustomWinSocket* socket, TSocketEvent event) {
            if (!listener)
                return;
            const QPointer<TCustomWinSocket> connection(socket);
            // Asked for once the handler has returned, or raised: a raising
            // handler must not keep the closed connection listed.
            auto release = [&] {
                if (event == seDisconnect && listener && connection)
                    TServerWinSocketPrivate::of(*listener).scheduleRelease(connection);
            };
            try {
                TServerWinSocketPrivate::of(*listener).deliverClientEvent(socket, event);
            } catch (...) {
                release();
                throw;
            }
            release();
        },
        [listener](TCustomWinSocket* socket, TErrorEvent kind, int& code) {
            if (listener)
                TServerWinSocketPrivate::of(*listener).clientError(socket, kind, code);
        });
    d.adoptHandle(handle);
    d.markConnected(true);
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    if (TServerWinSocket* server = TServerClientWinSocketPrivate::of(*this).server())
        TServerWinSocketPrivate::of(*server).forget(this);
}

TServerWinSocket* TServerClientWinSocket::ServerWinSocket() const
{
    return TServerClientWinSocketPrivate::of(*this).server();
}

} // namespace ScktComp
