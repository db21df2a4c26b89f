#include "net/serversocket.h"

#include "net/serverwinsocket_p.h"
#include "net/socketcomponent_p.h"

namespace ScktComp {

TServerSocket::TServerSocket(QObject* parent) : QObject(parent), socket_(new TServerWinSocket(this))
{
    TServerWinSocketPrivate& d = TServerWinSocketPrivate::of(*socket_);
    // The listening socket's own errors go where its connections' go.
    const auto clientError = [this](TCustomWinSocket* socket, TErrorEvent kind, int& code) {
        const TSocketErrorEvent handler = OnClientError;
        if (handler)
            handler(socket_, socket, kind, code);
    };
    d.setSinks(
        [this](TCustomWinSocket* socket, TSocketEvent event) {
            TSocketNotifyEvent handler;
            switch (event) {
            case seListen:
                active_ = true;
                handler = OnListen;
                break;
            case seAccept:
                handler = OnAccept;
                break;
            case seDisconnect:
                active_ = false;
                break;
            default:
                break;
            }
            if (handler)
                handler(this, socket);
        },
        clientError);
    d.setClientSinks(
        [this](TCustomWinSocket* socket, TSocketEvent event) {
            TSocketNotifyEvent handler;
            switch (event) {
            case seConnect:
                handler = OnClientConnect;
                break;
            case seDisconnect:
                handler = OnClientDisconnect;
                break;
            case seRead:
                handler = OnClientRead;
                break;
            case seWrite:
                handler = OnClientWrite;
                break;
            default:
                break;
            }
            if (handler)
                handler(socket_, socket);
        },
        clientError);
}

TServerSocket::~TServerSocket()
{
    TServerWinSocketPrivate& d = TServerWinSocketPrivate::of(*socket_);
    d.silence();
    d.releaseAllConnections();
    d.closeSilently();
}

bool TServerSocket::Active() const
{
    return active_;
}

void TServerSocket::SetActive(bool value)
{
    if (value == active_)
        return;
    if (value) {
        open();
    } else {
        TServerWinSocketPrivate::of(*socket_).releaseAllConnections();
        socket_->Close();
    }
}

void TServerSocket::open()
{
    TServerWinSocketPrivate& d = TServerWinSocketPrivate::of(*socket_);
    d.open("Can't listen on an open socket", [&](const AttemptGuard& attempt) {
        d.listen(resolvePort(port_, service_), attempt);
    });
}

void TServerSocket::SetPort(int value)
{
    assignProperty(port_, checkedPort(value), active_);
}

void TServerSocket::SetService(const std::string& value)
{
    assignProperty(service_, value, active_);
}

TServerType TServerSocket::ServerType() const
{
    return socket_->ServerType();
}

void TServerSocket::SetServerType(TServerType value)
{
    socket_->SetServerType(value);
}

} // namespace ScktComp
