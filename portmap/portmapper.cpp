#include "portmap/portmapper.h"

#include "portmap/mappingworker.h"

#include <QThread>
#include <QTimer>

#include <stdexcept>

PortMapper::PortMapper(QObject* parent)
    : QObject(parent), thread_(new QThread), worker_(new MappingWorker), renewalTimer_(new QTimer(this))
{
    thread_->setObjectName(QStringLiteral("port mapping"));
    worker_->moveToThread(thread_);
    // Both end with the thread: the worker on the thread itself as it finishes,
    // the thread object here. The destructor deletes the thread object at once
    // when it finished in time, which drops the queued deletion.
    connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);

    connect(worker_, &MappingWorker::mapped, this, &PortMapper::workerMapped, Qt::QueuedConnection);
    connect(worker_, &MappingWorker::failed, this, &PortMapper::workerFailed, Qt::QueuedConnection);
    connect(worker_, &MappingWorker::renewed, this, &PortMapper::workerRenewed, Qt::QueuedConnection);
    connect(worker_, &MappingWorker::renewalFailed, this, &PortMapper::workerRenewalFailed, Qt::QueuedConnection);
    connect(worker_, &MappingWorker::unmapped, this, &PortMapper::workerUnmapped, Qt::QueuedConnection);

    renewalTimer_->setSingleShot(true);
    connect(renewalTimer_, &QTimer::timeout, this, &PortMapper::renew);
    thread_->start();
}

PortMapper::~PortMapper()
{
    nextGeneration();
    disconnect(worker_, nullptr, this, nullptr);
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_] {
            worker->unmap();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (thread_->wait(QDeadlineTimer(ExitWait)))
        delete thread_;
    // Otherwise the router is slow to answer (or the search still runs): the
    // thread finishes on its own, touching nothing of this object, and the
    // connections made in the constructor delete it and the worker.
}

void PortMapper::setLease(std::chrono::seconds lease)
{
    if (lease.count() <= 0 || lease > MaxLease)
        throw std::invalid_argument("PortMapper: the lease must be between a second and a week");
    lease_ = lease;
}

void PortMapper::start(quint16 internalPort)
{
    if (state_ != State::Idle) {
        if (internalPort == internalPort_)
            return;
        stop();
    }
    internalPort_ = internalPort;
    nextGeneration();
    state_ = State::Mapping;
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_, generation = generation_, internalPort, lease = lease_] {
            worker->map(generation, internalPort, lease);
        },
        Qt::QueuedConnection);
}

void PortMapper::stop()
{
    if (state_ == State::Idle)
        return;
    nextGeneration();
    state_ = State::Idle;
    renewalTimer_->stop();
    QMetaObject::invokeMethod(worker_, [worker = worker_] { worker->unmap(); }, Qt::QueuedConnection);
}

void PortMapper::nextGeneration()
{
    ++generation_;
    worker_->setWanted(generation_);
}

void PortMapper::workerMapped(quint64 generation, const QString& externalAddress, quint16 externalPort,
    const QString& protocol, qint64 leaseSeconds)
{
    if (generation != generation_)
        return;
    state_ = State::Mapped;
    announced_ = generation;
    externalAddress_ = externalAddress;
    externalPort_ = externalPort;
    protocol_ = protocol;
    leaseGranted(std::chrono::seconds(leaseSeconds));
    emit mapped(externalAddress, externalPort, protocol);
}

void PortMapper::workerFailed(quint64 generation, const QString& reason)
{
    if (generation != generation_)
        return;
    state_ = State::Idle;
    emit failed(reason);
}

void PortMapper::workerRenewed(quint64 generation, const QString& externalAddress, quint16 externalPort,
    qint64 leaseSeconds)
{
    if (generation != generation_ || state_ != State::Mapped)
        return;
    leaseGranted(std::chrono::seconds(leaseSeconds));
    if (externalAddress == externalAddress_ && externalPort == externalPort_)
        return;
    externalAddress_ = externalAddress;
    externalPort_ = externalPort;
    emit mapped(externalAddress, externalPort, protocol_);
}

void PortMapper::workerRenewalFailed(quint64 generation, const QString& reason)
{
    if (generation != generation_ || state_ != State::Mapped)
        return;
    const auto halfLeft = std::chrono::duration_cast<std::chrono::milliseconds>(leaseEnd_.remainingTimeAsDuration()) / 2;
    if (halfLeft >= RenewalRetryFloor) {
        renewalTimer_->start(halfLeft);
        return;
    }
    // The lease is as good as over: the forwarding is lost.
    nextGeneration();
    state_ = State::Idle;
    announced_ = 0;
    QMetaObject::invokeMethod(worker_, [worker = worker_] { worker->unmap(); }, Qt::QueuedConnection);
    emit failed(reason);
}

void PortMapper::workerUnmapped(quint64 generation)
{
    if (generation != announced_)
        return;
    announced_ = 0;
    emit removed();
}

void PortMapper::leaseGranted(std::chrono::seconds lease)
{
    leaseEnd_ = QDeadlineTimer(lease);
    // RFC 6886 section 3.3: renewal begins halfway to the lease's end.
    renewalTimer_->start(std::chrono::duration_cast<std::chrono::milliseconds>(lease) / 2);
}

void PortMapper::renew()
{
    if (state_ != State::Mapped)
        return;
    QMetaObject::invokeMethod(
        worker_, [worker = worker_, generation = generation_] { worker->renew(generation); }, Qt::QueuedConnection);
}
