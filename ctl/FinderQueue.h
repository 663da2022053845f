#pragma once

#include "DiscoveryCycle.h"
#include "RecordFields.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

namespace Ctl {

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
