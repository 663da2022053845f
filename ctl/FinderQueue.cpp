#include "FinderQueue.h"

#include "Timing.h"

namespace Ctl {

FinderQueue::FinderQueue(CDiscoveryCycle* f, QObject* parent)
    : QObject(parent)
    , m_pFinder(f)
{
    m_Clock.start();
    m_Later.setSingleShot(true);
    connect(&m_Later, &QTimer::timeout, this, &FinderQueue::Pump);
}

void FinderQueue::SendSet(const quint8* record)
{
    m_Sets.append(QByteArray(reinterpret_cast<const char*>(record), Disc::RecordSize));
    Pump();
}

void FinderQueue::Confirm(const QString& serial, const QByteArray& target, const QVector<const RecordFields::Field*>& fields,
                          int timeoutMs, Done done)
{
    m_Waiters.append({serial, target, fields, m_Clock.elapsed() + timeoutMs, std::move(done)});
    Pump();
}

void FinderQueue::Pump()
{
    if (m_Listening)
        return;
    for (QByteArray& set : m_Sets) {
        m_pFinder->SendSet(reinterpret_cast<quint8*>(set.data()));
        // After the Set's own socket has closed, as a Find after a Set in the window.
        m_CycleFrom = m_Clock.elapsed() + Timing::SetToCloseMs + Timing::FindToRequestMs;
    }
    m_Sets.clear();
    if (m_Waiters.isEmpty())
        return;
    const qint64 wait = m_CycleFrom - m_Clock.elapsed();
    if (wait > 0)
        return m_Later.start(int(wait));
    m_Listening = true;
    m_pFinder->Run([this] {
        m_Listening = false;
        Check();
        Pump();
    });
}

void FinderQueue::Check()
{
    struct Ended {
        Done done;
        const quint8* seen;
        bool ok;
    };
    // Taken out first: a caller may send a Set or wait for another confirmation from its callback.
    QVector<Ended> ended;
    for (int i = 0; i < m_Waiters.size();) {
        const Waiter& w = m_Waiters[i];
        const int row = m_pFinder->RowOf(w.serial);
        const quint8* seen = row >= 0 ? m_pFinder->Record(row) : nullptr;
        bool ok = seen != nullptr;
        for (const RecordFields::Field* field : w.fields)
            ok = ok && RecordFields::same(*field, seen, reinterpret_cast<const quint8*>(w.target.constData()));
        if (ok || m_Clock.elapsed() >= w.deadline) {
            ended.append({w.done, seen, ok});
            m_Waiters.remove(i);
        } else {
            ++i;
        }
    }
    for (const Ended& e : ended)
        e.done(e.seen, e.ok);
}

} // namespace Ctl
