#pragma once

#include "Commands.h"
#include "DiscoveryCycle.h"
#include "RecordFields.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <QVector>
#include <functional>

/// Steps that several commands share.
namespace Ctl {

constexpr int ConnectTimeoutMs = 15000;    ///< ms for the programming interface to connect and read the device
constexpr int ReconnectTimeoutMs = 30000;  ///< ms for the reconnection after a run, which reads the new versions

/// A discovery cycle with the command line's listen time and interfaces, owned by the application.
CDiscoveryCycle* finder(const CtlOptions& o);
/// Ends the event loop with `code`.
void finish(int code);
/// Runs a discovery cycle and calls `then` with the row of `serial`; ends with a message and exit 1
/// when the receiver is missing or of no known model.
void withReceiver(CDiscoveryCycle* f, const QString& serial, std::function<void(int row)> then);
/// A command's one finder socket, shared by every receiver it handles (port 48322 binds once): Sets
/// go out at once unless a discovery cycle is listening; a cycle starts only after the last Set's socket
/// has closed, and one cycle serves every receiver that waits for a confirmation, so neither cuts the other short.
class FinderQueue : public QObject {
public:
    using Done = std::function<void(const quint8* seen, bool ok)>;

    FinderQueue(CDiscoveryCycle* f, QObject* parent);
    /// Broadcasts a copy of `record` as a Set datagram.
    void SendSet(const quint8* record);
    /// After the Sets sent so far: discovery cycles until `serial` reports `target` in every one of
    /// `fields`, or `timeoutMs` passed; then `done` with the last record seen (nullptr if the receiver
    /// did not answer) and the outcome.
    void Confirm(const QString& serial, const QByteArray& target, const QVector<const RecordFields::Field*>& fields,
                 int timeoutMs, Done done);

private:
    struct Waiter {
        QString serial;
        QByteArray target;
        QVector<const RecordFields::Field*> fields;
        qint64 deadline;  ///< ms on m_Clock
        Done done;
    };
    void Pump();
    void Check();

    CDiscoveryCycle* m_pFinder;
    QVector<QByteArray> m_Sets;  ///< held while a cycle listens
    QVector<Waiter> m_Waiters;
    QElapsedTimer m_Clock;
    qint64 m_CycleFrom = 0;      ///< ms on m_Clock: the first moment a cycle may start
    bool m_Listening = false;
    QTimer m_Later;
};

} // namespace Ctl
