#pragma once

#include "ReplyTable.h"

#include <QObject>
#include <QString>
#include <QVector>
#include <functional>

class CSetSender;
class QUdpSocket;

/// The main window's discovery cycle without a window: bind port 48322, one request per model to
/// 255.255.255.255:48321 (and, if asked, to every interface's directed broadcast), listen, close.
/// Replies go through Disc::ReplyTable, so acceptance, the duplicate rule and the row limit are the window's.
class Finder : public QObject {
    Q_OBJECT
public:
    /// An idle finder; `listenMs` is how long a cycle listens after its requests.
    Finder(int listenMs, bool allInterfaces, QObject* parent = nullptr);

    /// Runs one cycle and calls `done` once the socket is closed again.
    void Run(std::function<void()> done);
    /// Makes `record` a Set datagram and broadcasts it as the main window does.
    void SendSet(quint8* record);

    /// Rows of the last cycle.
    int Rows() const { return m_Table.rows; }
    /// The row whose serial number is `serial`, or -1.
    int RowOf(const QString& serial) const;
    /// The 56-byte header of `row`.
    const quint8* Header(int row) const { return m_Table.header[row]; }
    /// The 862-byte record of `row`; all zeros for a receiver of no known model.
    const quint8* Record(int row) const { return m_Table.record[row]; }
    /// Name of the interface the row's reply came in on, or an empty string.
    QString Interface(int row) const;
    /// Why nothing might have answered the last cycle, in a sentence or two.
    QString Diagnosis() const;

private:
    void SendRequests();
    void Read();

    QUdpSocket* m_pSocket;
    CSetSender* m_pSender;
    Disc::ReplyTable m_Table;
    QVector<int> m_Interfaces;   ///< interface index of each row's reply
    int m_ListenMs;
    bool m_AllInterfaces;
    bool m_BindOk = true;
    QStringList m_SendErrors;    ///< destinations a request could not be sent to, with the reason
    QStringList m_Destinations;  ///< where the requests went
};
