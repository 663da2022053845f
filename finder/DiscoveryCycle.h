#pragma once

#include "ReplyTable.h"
#include "Timing.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class CSetSender;
class QUdpSocket;

/// The finder's discovery cycle on port 48322, without a window: bind, one request per model to
/// 255.255.255.255:48321 (and, if asked, to every interface's directed broadcast), replies into the
/// reply table, close; and the Set, sent through the same socket. The main window drives it from its
/// own slots and timers; quillctl runs whole cycles with Run().
class CDiscoveryCycle : public QObject {
    Q_OBJECT
public:
    /// Works through `socket`, which the caller owns and whose readyRead it connects to ReadPending();
    /// lists at most `capacity` receivers per cycle.
    CDiscoveryCycle(QUdpSocket* socket, int capacity, QObject* parent);
    /// Works through a socket of its own, whose receive buffer asks room for the burst of replies of
    /// a whole fleet (CommandLineRows receivers, or `capacity` if more), and reads every reply as it
    /// arrives; lists at most `capacity` receivers per cycle.
    explicit CDiscoveryCycle(QObject* parent, int capacity = Disc::CommandLineRows);

    /// How long Run() listens after its requests; default 500 ms.
    void SetListenMs(int ms) { m_ListenMs = ms; }
    /// Also asks every up interface's directed broadcast address, and notes the interface of each reply.
    void SetAllInterfaces(bool on) { m_AllInterfaces = on; }
    bool AllInterfaces() const { return m_AllInterfaces; }

    /// Binds port 48322 unless the socket is bound ("UDP bind" with the result), then sends the requests.
    void SendRequests();
    /// Closes the socket if it is bound, with the line "UDP Close".
    void Close();
    /// True while the socket counts as bound, also after a failed bind.
    bool IsOpen() const;
    /// Size of the first pending datagram, or -1.
    qint64 PendingSize() const;
    /// Offers every pending datagram to the reply table; `apply` hears what each did to the list.
    void ReadPending(const std::function<void(const Disc::ReplyTable::Outcome&)>& apply = {});
    /// Empties the list; the table's bytes stay and are overwritten from row 0 on.
    void Clear();
    /// Makes `record` a Set datagram in place, broadcasts it and closes the socket 750 ms later.
    void SendSet(quint8* record);
    /// One whole cycle: empty list, requests, listen, close; then `done`.
    void Run(std::function<void()> done);

    /// Rows listed.
    int Rows() const { return m_Table.rows; }
    /// Receivers (distinct serial numbers) that answered since the last Clear() but are not listed
    /// because every row was taken; more than 0 means the list is incomplete.
    int Dropped() const { return m_Dropped.size(); }

    /// The row whose serial number is `serial`, or -1.
    int RowOf(const QString& serial) const;
    /// The 56-byte header of `row`.
    const quint8* Header(int row) const { return m_Table.header(row); }
    /// The 862-byte record of `row`; a receiver of no known model leaves it untouched.
    const quint8* Record(int row) const { return m_Table.record(row); }
    quint8* Record(int row) { return m_Table.record(row); }
    /// Name of the interface the row's reply came in on; empty unless interfaces are noted.
    QString Interface(int row) const;
    /// Why nothing might have answered the last cycle, in a sentence or two.
    QString Diagnosis() const;

private:
    void GrowReceiveBuffer();

    QUdpSocket* m_pSocket;
    CSetSender* m_pSender;
    Disc::ReplyTable m_Table;
    quint8 m_RxBuf[Disc::RecordSize];  ///< one datagram, cut to a record's size
    QVector<int> m_Interfaces;         ///< interface index of each row's reply, when noted
    QSet<QString> m_Dropped;           ///< serial numbers that found the table full
    bool m_NoteInterfaces = false;     ///< read with the datagrams' metadata (quillctl)
    bool m_OwnSocket = false;          ///< quillctl's socket, whose receive buffer holds a whole burst
    int m_ListenMs = Timing::RequestToCloseMs;  ///< ms, Run() only
    bool m_AllInterfaces = false;
    bool m_BindOk = true;
    QStringList m_SendErrors;    ///< destinations a request could not be sent to, with the reason
    QStringList m_Destinations;  ///< where the requests went
};
