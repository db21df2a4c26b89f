// The blocking half of PortMapper: it lives on PortMapper's worker thread and
// talks to the router there, one request after another.
#pragma once

#include "portmap/gateway.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

class MappingWorker : public QObject {
    Q_OBJECT
public:
    MappingWorker();
    ~MappingWorker() override;

    // The generation of work the owner still wants, set from the owner's
    // thread. Work of another generation stops at its next step, so a stop()
    // during the search does not make a forwarding only to remove it.
    void setWanted(quint64 generation) { wanted_.store(generation); }

    // The calls below run on the worker thread, each to its end.

    // Removes any forwarding held, then asks NAT-PMP and, if that fails, UPnP
    // to forward TCP `internalPort`: mapped() or failed().
    void map(quint64 generation, quint16 internalPort, std::chrono::seconds lease);
    // Asks again for the forwarding held for `generation`: renewed() or renewalFailed().
    void renew(quint64 generation);
    // Removes the forwarding held, if any: unmapped() once the router confirmed it.
    void unmap();

signals:
    void mapped(quint64 generation, const QString& externalAddress, quint16 externalPort, const QString& protocol,
        qint64 leaseSeconds);
    void failed(quint64 generation, const QString& reason);
    void renewed(quint64 generation, const QString& externalAddress, quint16 externalPort, qint64 leaseSeconds);
    void renewalFailed(quint64 generation, const QString& reason);
    void unmapped(quint64 generation);

private:
    bool unwanted(quint64 generation) const { return wanted_.load() != generation; }

    std::atomic<quint64> wanted_{0};
    // The forwarding held: the gateway that made it and what it granted.
    std::unique_ptr<Gateway> gateway_;
    quint64 generation_ = 0;
    quint16 internalPort_ = 0;
    std::chrono::seconds lease_{0};
    Forwarding forwarding_;
};
