// The router as a UPnP internet gateway device (IGD), found by SSDP search.
#pragma once

#include "portmap/gateway.h"

#include <memory>

class UpnpGateway final : public Gateway {
public:
    // How long each search listens for answers; a search always takes this
    // long, answered or not. A device delays its answer by up to the search's
    // MX seconds (UPnP Device Architecture 1.1, section 1.3.2), which miniupnpc
    // sets to this time in whole seconds: the first search waits the least the
    // protocol allows, one second. UDP may lose a search or its answers, which
    // is why the architecture asks for searches to be sent more than once, so
    // an unanswered search is made again and given the two seconds miniupnpc's
    // own client waits.
    static constexpr std::chrono::milliseconds SearchTimes[] = {std::chrono::milliseconds(1000),
        std::chrono::milliseconds(2000)};
    // The name the router lists the forwarding under.
    static constexpr const char* Description = "Velmora v2";

    // Searches the local network for a gateway device connected to the
    // internet; raises MappingError when none answers (unanswered) or the one
    // that does is not connected (refused). Takes a second when a device
    // answers the first search, three when none answers.
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
