#include "portmap/natpmpgateway.h"

#include "portmap/mappingerror.h"

// Declares strnatpmperr(), which Debian's libnatpmp is built with.
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// The result codes of RFC 6886 section 3.5 that a server sends: it answered, and said no.
bool isRouterRefusal(int code)
{
    return code == NATPMP_ERR_NOTAUTHORIZED || code == NATPMP_ERR_NETWORKFAILURE || code == NATPMP_ERR_OUTOFRESOURCES
        || code == NATPMP_ERR_UNDEFINEDERROR;
}

[[noreturn]] void raise(int code)
{
    const QString detail = QStringLiteral("NAT-PMP: %1").arg(QString::fromUtf8(strnatpmperr(code)));
    throw MappingError(isRouterRefusal(code) ? MappingError::Kind::Refused : MappingError::Kind::Unanswered, detail);
}

} // namespace

struct NatPmpGateway::Client {
    natpmp_t handle{};

    Client() { handle.s = -1; }
    ~Client()
    {
        if (handle.s >= 0)
            closenatpmp(&handle);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
};

struct NatPmpGateway::Answer {
    natpmpresp_t response{};
};

NatPmpGateway::NatPmpGateway() : client_(std::make_unique<Client>())
{
    // Non-blocking socket connected to the default gateway's port 5351.
    const int result = initnatpmp(&client_->handle, 0, 0);
    if (result < 0)
        raise(result);
}

NatPmpGateway::~NatPmpGateway() = default;

QString NatPmpGateway::protocol() const
{
    return QStringLiteral("NAT-PMP");
}

NatPmpGateway::Answer NatPmpGateway::awaitAnswer(int sent, int type, quint16 internalPort)
{
    if (sent < 0)
        raise(sent);
    natpmp_t& handle = client_->handle;
    const Clock::time_point deadline = Clock::now() + AnswerTime;
    for (;;) {
        Answer answer;
        const int result = readnatpmpresponseorretry(&handle, &answer.response);
        if (result == 0) {
            // A late answer to an earlier request is not this one's.
            const bool ours = answer.response.type == type
                && (type == NATPMP_RESPTYPE_PUBLICADDRESS || answer.response.pnu.newportmapping.privateport == internalPort);
            if (ours)
                return answer;
        } else if (result != NATPMP_TRYAGAIN && result != NATPMP_ERR_WRONGPACKETSOURCE) {
            // Another machine's packet is ignored like a late answer.
            raise(result);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            throw MappingError(MappingError::Kind::Unanswered, QStringLiteral("NAT-PMP: no answer from the gateway"));
        timeval untilResend{};
        getnatpmprequesttimeout(&handle, &untilResend);
        const auto resend = std::chrono::milliseconds(std::max<long>(0, untilResend.tv_sec * 1000L + untilResend.tv_usec / 1000L));
        pollfd readable{handle.s, POLLIN, 0};
        ::poll(&readable, 1, static_cast<int>(std::min(left, resend).count()) + 1);
    }
}

Forwarding NatPmpGateway::forward(quint16 internalPort, quint16 externalPort, std::chrono::seconds lease)
{
    natpmp_t& handle = client_->handle;
    if (externalAddress_.isEmpty()) {
        const Answer answer = awaitAnswer(sendpublicaddressrequest(&handle), NATPMP_RESPTYPE_PUBLICADDRESS, 0);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &answer.response.pnu.publicaddress.addr, text, sizeof text);
        externalAddress_ = QString::fromLatin1(text);
    }
    const Answer answer = awaitAnswer(
        sendnewportmappingrequest(&handle, NATPMP_PROTOCOL_TCP, internalPort, externalPort, static_cast<uint32_t>(lease.count())),
        NATPMP_RESPTYPE_TCPPORTMAPPING, internalPort);
    const auto& granted = answer.response.pnu.newportmapping;
    if (granted.lifetime == 0 || granted.mappedpublicport == 0)
        throw MappingError(MappingError::Kind::Refused, QStringLiteral("NAT-PMP: the gateway granted no forwarding"));
    return Forwarding{externalAddress_, granted.mappedpublicport, std::chrono::seconds(granted.lifetime)};
}

void NatPmpGateway::removeForwarding(quint16 internalPort, quint16)
{
    // RFC 6886 section 3.4: a request with lifetime 0 and external port 0 deletes the mapping.
    awaitAnswer(sendnewportmappingrequest(&client_->handle, NATPMP_PROTOCOL_TCP, internalPort, 0, 0),
        NATPMP_RESPTYPE_TCPPORTMAPPING, internalPort);
}
