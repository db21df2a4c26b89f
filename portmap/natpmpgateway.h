// The router as a NAT-PMP server (RFC 6886), found at the default gateway.
#pragma once

#include "portmap/gateway.h"

#include <memory>

class NatPmpGateway final : public Gateway {
public:
    // How long one request waits for its answer. RFC 6886 section 3.1 sends a
    // request again after 250 ms and then after twice as long each time, so a
    // second covers three sends: ample for a router on the local network,
    // which answers within milliseconds, and the most a network whose router
    // ignores NAT-PMP loses before UPnP is tried.
    static constexpr std::chrono::milliseconds AnswerTime{1000};

    // A client of the default gateway; raises MappingError (unanswered) when
    // there is none.
    NatPmpGateway();
    ~NatPmpGateway() override;

    QString protocol() const override;
    Forwarding forward(quint16 internalPort, quint16 externalPort, std::chrono::seconds lease) override;
    void removeForwarding(quint16 internalPort, quint16 externalPort) override;

private:
    struct Client;
    struct Answer;

    // Waits up to AnswerTime for the answer of `type` (for `internalPort`, when
    // a mapping) to the request whose sending returned `sent`, resending as the
    // protocol asks.
    Answer awaitAnswer(int sent, int type, quint16 internalPort);

    std::unique_ptr<Client> client_;
    QString externalAddress_;
};
