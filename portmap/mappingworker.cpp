#include "portmap/mappingworker.h"

#include "portmap/mappingerror.h"
#include "portmap/natpmpgateway.h"
#include "portmap/upnpgateway.h"

#include <algorithm>
#include <functional>

namespace {

// A router may grant more than was asked for (NAT-PMP tells what it granted,
// up to some 136 years); the forwarding is renewed as if it had granted what
// was asked, which keeps the owner's renewal timer in range.
Forwarding granted(Forwarding forwarding, std::chrono::seconds asked)
{
    forwarding.lease = std::min(forwarding.lease, asked);
    return forwarding;
}

} // namespace

MappingWorker::MappingWorker() = default;

MappingWorker::~MappingWorker() = default;

void MappingWorker::map(quint64 generation, quint16 internalPort, std::chrono::seconds lease)
{
    unmap();
    if (unwanted(generation))
        return;
    // NAT-PMP first: a router that speaks it answers within milliseconds, and
    // one that does not usually refuses the datagram at once, while the UPnP
    // search always takes its full time.
    const std::function<std::unique_ptr<Gateway>()> openers[] = {
        [] { return std::make_unique<NatPmpGateway>(); },
        [] { return std::make_unique<UpnpGateway>(); },
    };
    QString refusal;
    for (const auto& open : openers) {
        try {
            std::unique_ptr<Gateway> gateway = open();
            if (unwanted(generation))
                return;
            forwarding_ = granted(gateway->forward(internalPort, internalPort, lease), lease);
            gateway_ = std::move(gateway);
            generation_ = generation;
            internalPort_ = internalPort;
            lease_ = lease;
            // Even if no longer wanted: the owner ignores it, and the unmap() it queued removes it.
            emit mapped(generation, forwarding_.externalAddress, forwarding_.externalPort, gateway_->protocol(),
                forwarding_.lease.count());
            return;
        } catch (const MappingError& error) {
            if (error.kind() == MappingError::Kind::Refused)
                refusal = error.detail();
        }
        if (unwanted(generation))
            return;
    }
    emit failed(generation,
        refusal.isEmpty()
            ? QStringLiteral("No router on this network answered the request to forward port %1 (NAT-PMP, UPnP).").arg(internalPort)
            : QStringLiteral("The router refused to forward port %1 (%2).").arg(internalPort).arg(refusal));
}

void MappingWorker::renew(quint64 generation)
{
    if (!gateway_ || generation_ != generation || unwanted(generation))
        return;
    try {
        // The same external port again, as RFC 6886 section 3.3 asks of a renewal.
        forwarding_ = granted(gateway_->forward(internalPort_, forwarding_.externalPort, lease_), lease_);
        emit renewed(generation, forwarding_.externalAddress, forwarding_.externalPort, forwarding_.lease.count());
    } catch (const MappingError& error) {
        emit renewalFailed(generation,
            QStringLiteral("The router stopped forwarding port %1 (%2).").arg(internalPort_).arg(error.detail()));
    }
}

void MappingWorker::unmap()
{
    if (!gateway_)
        return;
    const std::unique_ptr<Gateway> gateway = std::move(gateway_);
    try {
        gateway->removeForwarding(internalPort_, forwarding_.externalPort);
    } catch (const MappingError&) {
        // The router did not confirm; the forwarding ends with its lease.
        return;
    }
    emit unmapped(generation_);
}
