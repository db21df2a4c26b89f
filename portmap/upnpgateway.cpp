#include "portmap/upnpgateway.h"

#include "portmap/mappingerror.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <QByteArray>

#include <cstring>

namespace {

// UPnP error codes of the WANIPConnection service that have a plainer meaning for the user.
constexpr int NoSuchEntry = 714;
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;

MappingError refusal(int code)
{
    QString detail;
    switch (code) {
    case ConflictInMappingEntry:
        detail = QStringLiteral("UPnP: the port is already forwarded to another computer");
        break;
    case OnlyPermanentLeasesSupported:
        // A permanent forwarding would outlive a crash of this program.
        detail = QStringLiteral("UPnP: the router only offers permanent forwarding, which Velmora does not ask for");
        break;
    default:
        const char* name = strupnperror(code);
        detail = name ? QStringLiteral("UPnP: %1 (%2)").arg(QString::fromLatin1(name)).arg(code)
                      : QStringLiteral("UPnP: error %1").arg(code);
    }
    return MappingError(MappingError::Kind::Refused, detail);
}

QByteArray decimal(qint64 value)
{
    return QByteArray::number(value);
}

// A device answers once for each kind searched for, and UPNP_GetValidIGD()
// fetches a description once per answer: a router that answers the search but
// not its requests would cost the library's connect time-out once per kind.
// Later answers that name a description already listed are dropped.
void dropRepeatedAnswers(UPNPDev* devices)
{
    for (UPNPDev* kept = devices; kept; kept = kept->pNext) {
        UPNPDev* previous = kept;
        while (UPNPDev* const next = previous->pNext) {
            if (std::strcmp(next->descURL, kept->descURL) != 0) {
                previous = next;
                continue;
            }
            previous->pNext = next->pNext;
            next->pNext = nullptr;
            freeUPNPDevlist(next);
        }
    }
}

} // namespace

// The device's control addresses and our address toward it, as miniupnpc keeps them.
struct UpnpGateway::Device {
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[64] = {};

    Device() = default;
    ~Device() { FreeUPNPUrls(&urls); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const char* controlUrl() const { return urls.controlURL; }
    const char* serviceType() const { return data.first.servicetype; }
};

UpnpGateway::UpnpGateway() : device_(std::make_unique<Device>())
{
    // Every kind of device that can forward a port is searched for at once
    // (the last argument), so an unanswered search costs its time once rather
    // than once per kind as upnpDiscover() would.
    static const char* const searched[] = {
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
        "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
        "urn:schemas-upnp-org:service:WANIPConnection:1",
        "urn:schemas-upnp-org:service:WANIPConnection:2",
        "urn:schemas-upnp-org:service:WANPPPConnection:1",
        nullptr,
    };
    // TTL 2, as miniupnpc advises, keeps the search on the local network.
    constexpr unsigned char searchTtl = 2;
    std::unique_ptr<UPNPDev, decltype(&freeUPNPDevlist)> devices(nullptr, &freeUPNPDevlist);
    for (const std::chrono::milliseconds searchTime : SearchTimes) {
        int error = 0;
        devices.reset(upnpDiscoverDevices(searched, static_cast<int>(searchTime.count()), nullptr, nullptr,
            UPNP_LOCAL_PORT_ANY, 0, searchTtl, &error, 1));
        if (devices)
            break;
    }
    if (!devices)
        throw MappingError(MappingError::Kind::Unanswered, QStringLiteral("UPnP: no gateway device answered"));
    dropRepeatedAnswers(devices.get());
    const int found = UPNP_GetValidIGD(devices.get(), &device_->urls, &device_->data, device_->lanAddress,
        static_cast<int>(sizeof device_->lanAddress));
    if (found == 2)
        throw MappingError(MappingError::Kind::Refused, QStringLiteral("UPnP: the router is not connected to the internet"));
    if (found != 1)
        throw MappingError(MappingError::Kind::Unanswered, QStringLiteral("UPnP: no gateway device answered"));
}

UpnpGateway::~UpnpGateway() = default;

QString UpnpGateway::protocol() const
{
    return QStringLiteral("UPnP-IGD");
}

Forwarding UpnpGateway::forward(quint16 internalPort, quint16 externalPort, std::chrono::seconds lease)
{
    if (externalAddress_.isEmpty()) {
        char address[64] = {};
        const int result = UPNP_GetExternalIPAddress(device_->controlUrl(), device_->serviceType(), address);
        if (result != UPNPCOMMAND_SUCCESS)
            throw refusal(result);
        if (address[0] == '\0')
            throw MappingError(MappingError::Kind::Refused, QStringLiteral("UPnP: the router has no external address"));
        externalAddress_ = QString::fromLatin1(address);
    }
    // The forwarding goes to the address this machine reached the device from.
    const int result = UPNP_AddPortMapping(device_->controlUrl(), device_->serviceType(), decimal(externalPort).constData(),
        decimal(internalPort).constData(), device_->lanAddress, Description, "TCP", nullptr,
        decimal(lease.count()).constData());
    if (result != UPNPCOMMAND_SUCCESS)
        throw refusal(result);
    return Forwarding{externalAddress_, externalPort, lease};
}

void UpnpGateway::removeForwarding(quint16, quint16 externalPort)
{
    const int result = UPNP_DeletePortMapping(device_->controlUrl(), device_->serviceType(),
        decimal(externalPort).constData(), "TCP", nullptr);
    if (result != UPNPCOMMAND_SUCCESS && result != NoSuchEntry)
        throw refusal(result);
}
