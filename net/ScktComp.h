// Non-blocking TCP socket components, IPv4 and IPv6, driven by the Qt event loop.
//
// A TClientSocket opens one outgoing connection; a TServerSocket listens and
// owns the connections it accepts. Each operating-system socket is wrapped in
// a TCustomWinSocket. Readiness notifications (read, write, connect, close,
// accept) arrive on the thread that owns the objects and become the
// components' events. Events whose callback is unset are dropped.
//
// An error raised while a notification is processed (by the layer or by an
// event handler) ends that notification and goes to the application error
// handler; the next notification is processed normally.
//
// Code outside net/ includes this header only; the headers ending in _p.h are
// the layer's own.
#pragma once

#include "net/socketevents.h"

#include "net/customwinsocket.h"

#include "net/clientwinsocket.h"
#include "net/serverclientwinsocket.h"
#include "net/serverwinsocket.h"

#include "net/clientsocket.h"
#include "net/serversocket.h"
