#include "net/clientsocket.h"

#include "net/customwinsocket_p.h"
#include "net/socketcomponent_p.h"

#include <utility>
#include <vector>

namespace ScktComp {

TClientSocket::TClientSocket(QObject* parent) : QObject(parent), socket_(new TClientWinSocket(this))
{
    socket_->d_func().setSinks(
        [this](TCustomWinSocket* socket, TSocketEvent event) {
            TSocketNotifyEvent handler;
            switch (event) {
            case seLookup:
                handler = OnLookup;
                break;
            case seConnecting:
                handler = OnConnecting;
                break;
            case seConnect:
                active_ = true;
                handler = OnConnect;
                break;
            case seDisconnect:
                active_ = false;
                handler = OnDisconnect;
                break;
            case seRead:
                handler = OnRead;
                break;
            case seWrite:
                handler = OnWrite;
                break;
            default:
                break;
            }
            if (handler)
                handler(this, socket);
        },
        [this](TCustomWinSocket* socket, TErrorEvent kind, int& code) {
            const TSocketErrorEvent handler = OnError;
            if (handler)
                handler(this, socket, kind, code);
        });
}

TClientSocket::~TClientSocket()
{
    TCustomWinSocketPrivate& d = socket_->d_func();
    d.silence();
    d.closeSilently();
}

bool TClientSocket::Active() const
{
    return active_;
}

void TClientSocket::SetActive(bool value)
{
    if (value == active_)
        return;
    if (value)
        open();
    else
        socket_->Close();
}

void TClientSocket::open()
{
    TCustomWinSocketPrivate& d = socket_->d_func();
    d.open("Socket already open", [&](const AttemptGuard& attempt) {
        d.deliverEvent(socket_, seLookup);
        std::vector<Platform::SocketAddress> addresses = resolveAddresses(host_, address_, port_, service_);
        // A handler that closed this socket or started another attempt ends this one.
        if (!attempt.current())
            return;
        d.deliverEvent(socket_, seConnecting);
        if (!attempt.current())
            return;
        d.beginConnect(std::move(addresses));
    });
}

void TClientSocket::SetHost(const std::string& value)
{
    assignProperty(host_, value, active_);
}

void TClientSocket::SetAddress(const std::string& value)
{
    assignProperty(address_, value, active_);
}

void TClientSocket::SetPort(int value)
{
    assignProperty(port_, checkedPort(value), active_);
}

void TClientSocket::SetService(const std::string& value)
{
    assignProperty(service_, value, active_);
}

TClientType TClientSocket::ClientType() const
{
    return socket_->ClientType();
}

void TClientSocket::SetClientType(TClientType value)
{
    socket_->SetClientType(value);
}

} // namespace ScktComp
