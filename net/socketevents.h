// The error type, event kinds and callback shapes of the connection layer.
#pragma once

#include <QObject>

#include <exception>
#include <functional>
#include <stdexcept>

namespace ScktComp {

// Every error of the connection layer.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };
enum TSocketEvent { seLookup, seConnecting, seConnect, seDisconnect, seListen, seAccept, seWrite, seRead };
enum TServerType { stNonBlocking, stThreadBlocking };
enum TClientType { ctNonBlocking, ctBlocking };

class TCustomWinSocket;

// (Sender, Socket): Sender is the component, or for client events of a
// listening socket its listening connection object; Socket is the connection.
using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
// (Sender, Socket, ErrorEvent, ErrorCode): setting ErrorCode to 0 suppresses the error.
using TSocketErrorEvent =
    std::function<void(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

// Receives every error that escapes the processing of a notification.
using TApplicationErrorHandler = std::function<void(const std::exception& error)>;
// Installs the process-wide handler; an empty function restores the default (a warning on stderr).
void SetApplicationErrorHandler(TApplicationErrorHandler handler);
// Hands an unhandled error to the installed handler.
void HandleApplicationError(const std::exception& error);

} // namespace ScktComp
