// Opens the listening port on the local network's router, so that a peer on
// the internet can connect: TCP `internalPort` on this machine is forwarded
// from the router's external address, by NAT-PMP or by UPnP-IGD, whichever the
// router answers.
//
// All talk with the router runs on a worker thread that this object owns;
// its signals arrive on the thread this object lives on, and no call blocks
// that thread for long. The router learns of the forwarding with a lease, which
// is renewed while it is held; stop() and the destructor remove it, and after
// a crash it ends with the lease.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <chrono>

class MappingWorker;
class QThread;
class QTimer;

class PortMapper : public QObject {
    Q_OBJECT
public:
    // The lease asked for: the lifetime RFC 6886 section 3.3 recommends for a
    // NAT-PMP mapping, asked of UPnP too so that both behave alike. A crashed
    // program leaves a forwarding for at most this long.
    static constexpr std::chrono::seconds DefaultLease{7200};
    // The longest lease UPnP IGD version 2 lets a device grant (one week).
    static constexpr std::chrono::seconds MaxLease{604800};
    // A lease that could not be renewed is tried again at half of what is left
    // of it, as long as that half is at least this long: the floor of DHCP's
    // renewal (RFC 2131 section 4.4.5), which RFC 6886 tells NAT-PMP to follow.
    static constexpr std::chrono::seconds RenewalRetryFloor{60};
    // How long the destructor waits for the router to confirm the removal.
    // A router on the local network answers in milliseconds; one that does
    // not answer within a second must not hold up quitting, and the lease
    // ends its forwarding instead.
    static constexpr std::chrono::milliseconds ExitWait{1000};

    explicit PortMapper(QObject* parent = nullptr);
    // Removes the forwarding, waiting at most ExitWait.
    ~PortMapper() override;

    // Asks the router to forward `internalPort`. Returns at once: mapped() or
    // failed() follows, within about four seconds when nothing answers
    // (NAT-PMP's AnswerTime, then the UPnP searches); a router that answers
    // the search but not its requests adds miniupnpc's connect time-out (some
    // six seconds). Calling it again for the same port while started does
    // nothing; for another port it stops first.
    // Virtual, as stop(), for owners' tests that stand in for the router.
    virtual void start(quint16 internalPort);
    // Removes the forwarding (or gives up the attempt) without waiting:
    // removed() follows once the router confirmed the removal of a forwarding
    // that mapped() announced.
    virtual void stop();
    // Between start() and stop() or failed().
    bool isActive() const { return state_ != State::Idle; }

    // The lease asked for by the next start(); DefaultLease unless set. Raises
    // std::invalid_argument unless between a second and MaxLease: a lease of 0
    // would ask UPnP for a forwarding without end.
    void setLease(std::chrono::seconds lease);

signals:
    // The router forwards `externalAddress`:`externalPort` to the port;
    // `protocol` is "NAT-PMP" or "UPnP-IGD". Sent again if a renewal changes
    // the address or port.
    void mapped(const QString& externalAddress, quint16 externalPort, const QString& protocol);
    // No router answered, the router refused, or it stopped forwarding and
    // would not renew: once, with a sentence for the user. The mapper is
    // then inactive until the next start().
    void failed(const QString& reason);
    // The forwarding announced by mapped() was removed after stop().
    void removed();

private:
    enum class State { Idle, Mapping, Mapped };

    void workerMapped(quint64 generation, const QString& externalAddress, quint16 externalPort, const QString& protocol,
        qint64 leaseSeconds);
    void workerFailed(quint64 generation, const QString& reason);
    void workerRenewed(quint64 generation, const QString& externalAddress, quint16 externalPort, qint64 leaseSeconds);
    void workerRenewalFailed(quint64 generation, const QString& reason);
    void workerUnmapped(quint64 generation);
    // The forwarding holds for `lease` from now on: renewal at half of it.
    void leaseGranted(std::chrono::seconds lease);
    void renew();
    // Moves on to a new generation of work; results of the old one are ignored.
    void nextGeneration();

    QThread* thread_;
    MappingWorker* worker_;
    QTimer* renewalTimer_;
    State state_ = State::Idle;
    quint64 generation_ = 0;
    // The generation whose forwarding mapped() announced, 0 for none.
    quint64 announced_ = 0;
    quint16 internalPort_ = 0;
    std::chrono::seconds lease_ = DefaultLease;
    QString externalAddress_;
    quint16 externalPort_ = 0;
    QString protocol_;
    QDeadlineTimer leaseEnd_;
};
