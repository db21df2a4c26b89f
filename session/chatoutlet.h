// Where the chat session's messages go: the front end's connection to the peer.
#pragma once

#include <string_view>

class ChatOutlet {
public:
    virtual ~ChatOutlet() = default;

    // Sends `message` whole, in one send, on the connection of the current
    // peer in the given role. False when that connection has ended and nothing
    // was sent; an error of the connection layer escapes to the caller.
    virtual bool sendMessage(bool serverRole, std::string_view message) = 0;
};
