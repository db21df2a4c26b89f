// The router as a UPnP internet gateway device (IGD), found by SSDP search.
#pragma once

#include "portmap/gateway.h"

#include <memory>

class UpnpGateway final : public Gateway {
public:
    // How long the search listens for answers. A device may delay its answer by
    // up to the search's MX seconds, which miniupnpc sets to this time in whole
    // seconds; 2 s is what miniupnpc's own upnpc client waits. The search always
    // takes this long, answered or not.
    static constexpr std::chrono::milliseconds DiscoveryTime{2000};
    // The name the router lists the forwarding under.
    static constexpr const char* Description = "Velmora v2";

    // Searches the local network for a gateway device connected to the
    // internet; raises MappingError when none answers (unanswered) or the one
    // that does is not connected (refused).
    UpnpGateway();
    ~UpnpGateway() override;

    QString protocol() const override;
    Forwarding forward(quint16 internalPort, quint16 externalPort, std::chrono::seconds lease) override;
    void removeForwarding(quint16 internalPort, quint16 externalPort) override;

private:
    struct Device;

    std::unique_ptr<Device> device_;
    QString externalAddress_;
};
