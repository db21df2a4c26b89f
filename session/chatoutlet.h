// Where the chat session's messages go: the front end's connection to the peer.
#pragma once

#include <cstddef>
#include <string_view>

class ChatOutlet {
public:
    virtual ~ChatOutlet() = default;

    // Sends `message` whole, in one send, on the connection of the current
    // peer in the given role. False when that connection has ended, before the
    // send (nothing was sent) or during it; an error of the connection layer
    // escapes to the caller.
    virtual bool sendMessage(bool serverRole, std::string_view message) = 0;
    // Bytes waiting on that connection for the peer to take them (0 when none),
    // so that a peer that stopped reading cannot make the queue grow for ever.
    virtual std::size_t queuedBytes(bool serverRole) const = 0;
};
