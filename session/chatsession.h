// The chat spoken over one connection: key exchange, then encrypted lines.
#pragma once

#include "session/chatoutlet.h"
#include "session/chatview.h"
#include "session/messageassembler.h"
#include "session/peerkey.h"
#include "session/wireformat.h"
#include "primes/KeyPair.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class ChatSession {
public:
    static constexpr std::size_t MaxLineMessage = WireFormat::MaxLineMessageBytes;
    static constexpr std::size_t MaxModulusBits = WireFormat::MaxModulusBits;
    // Most bytes left queued on a connection whose peer does not read. It holds
    // 64 lines of the longest kind on top of what the system's own socket
    // buffers take, so a peer that is only busy (making its key, an open
    // dialog) never reaches it, while one that stopped reading costs at most
    // this much memory; a line that would go beyond it is refused.
    static constexpr std::size_t MaxQueuedBytes = 1 << 20;

    using Clock = std::function<MessageAssembler::TimePoint()>;

    // Key and line messages go out through `outlet`, which knows the connection;
    // `clock` tells the time the received bytes are assembled by.
    ChatSession(ChatView& view, ChatOutlet& outlet, Clock clock = MessageAssembler::Clock::now);

    // The listening side accepted a peer at `peerAddress`: new server key, key message, status.
    void connectionAccepted(const QString& peerAddress);
    // The connecting side's attempt succeeded, to `peerHostName`: new client key, key message, status.
    void connectionMade(const QString& peerHostName);
    // `text` arrived in one read of the connection. The reads of a connection
    // are joined and cut back into the peer's messages, which are taken in as
    // soon as they can be told apart; the view is asked to call timePassed()
    // for those that wait.
    void dataArrived(std::string_view text);
    // The time the view was asked to wait for has passed.
    void timePassed();
    // The connection ended: the bytes still waiting are taken in as they stand.
    void connectionClosed();
    // The Enter key in the input line: sends the line once the keys are exchanged.
    void enterPressed();

    // The line message for `line` under the own key of the current role.
    std::string encryptOwnLine(std::string_view line) const;

    bool serverRole() const { return serverRole_; }
    // From the own key message until the peer's has been taken in; it stays
    // so when the connection ends first.
    bool awaitingKey() const { return assembler_.awaitingKey(); }
    const PrimeGeneration::KeyPair& serverKey() const { return serverKey_; }
    const PrimeGeneration::KeyPair& clientKey() const { return clientKey_; }

    // Modular powers spent telling received messages apart, for benchmarks.
    std::uint64_t assemblyPowerMods() const { return assembler_.powerMods(); }

private:
    // Generates the own key of the given role and returns the key message for the peer.
    std::string generateOwnKey(bool serverRole);
    // The own key message went out in the given role; the peer's is awaited next.
    void awaitPeerKey(bool serverRole);
    void takePeerKey(PeerKey key);
    // Takes in what the assembler told, then asks the view to wake the session
    // when more may be told; the first refusal is raised after the rest.
    void takeAssembled();
    const PrimeGeneration::KeyPair& ownKey() const { return serverRole_ ? serverKey_ : clientKey_; }
    PrimeGeneration::KeyPair& peerKey() { return serverRole_ ? clientKey_ : serverKey_; }

    ChatView& view_;
    ChatOutlet& outlet_;
    Clock clock_;
    MessageAssembler assembler_;
    PrimeGeneration::KeyPair serverKey_;
    PrimeGeneration::KeyPair clientKey_;
    bool serverRole_ = false;
};
