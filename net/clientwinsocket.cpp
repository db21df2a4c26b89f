#include "net/clientwinsocket.h"

namespace ScktComp {

TClientWinSocket::TClientWinSocket(QObject* parent) : TCustomWinSocket(parent) {}

void TClientWinSocket::SetClientType(TClientType value)
{
    if (Connected())
        throw ESocketError("Can't change value while socket is active");
    clientType_ = value;
}

} // namespace ScktComp
