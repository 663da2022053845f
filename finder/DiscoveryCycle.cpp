#include "DiscoveryCycle.h"

#include "ReceiverModel.h"
#include "SetSender.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

#include <cstring>

namespace {

struct Destination {
    QHostAddress address;
    QString interface;  ///< empty for the limited broadcast
};

/// Directed broadcast addresses of every up IPv4 interface that has one, with the interface's name.
QVector<Destination> directedBroadcasts()
{
    QVector<Destination> out;
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
        if (!(i.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& e : i.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol && !e.broadcast().isNull())
                out.append({e.broadcast(), i.name()});
    }
    return out;
}

} // namespace

CDiscoveryCycle::CDiscoveryCycle(QUdpSocket* socket, QObject* parent)
    : QObject(parent)
    , m_pSocket(socket)
    , m_pSender(new CSetSender(socket, this))
{
}

CDiscoveryCycle::CDiscoveryCycle(QObject* parent)
    : CDiscoveryCycle(new QUdpSocket, parent)
{
    m_pSocket->setParent(this);
    m_NoteInterfaces = true;
    connect(m_pSocket, &QUdpSocket::readyRead, this, [this] { ReadPending(); });
}

bool CDiscoveryCycle::IsOpen() const
{
    return m_pSender->IsOpen();
}

void CDiscoveryCycle::Close()
{
    m_pSender->Close();
}

void CDiscoveryCycle::Clear()
{
    m_Table.rows = 0;
    m_Interfaces.clear();
}

void CDiscoveryCycle::SendSet(quint8* record)
{
    m_pSender->SendSet(record);
}

void CDiscoveryCycle::SendRequests()
{
    m_SendErrors.clear();
    if (!m_pSender->IsOpen()) {
        m_BindOk = m_pSender->Open();
        qDebug() << "UDP bind" << m_BindOk;
        if (!m_BindOk)
            m_SendErrors << m_pSocket->errorString();
    }
    qDebug() << "UDP Open";

    QVector<Destination> targets{{QHostAddress(QHostAddress::Broadcast), QString()}};
    if (m_AllInterfaces)
        targets += directedBroadcasts();
    m_Destinations.clear();
    for (const Destination& t : targets)
        m_Destinations << t.address.toString() + (t.interface.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(t.interface));

    // One request per model; each later one only writes its name and terminator over the first.
    quint8 request[Disc::HeaderSize];
    Disc::buildRequest(request, Models::All[0].name);
    for (const ReceiverModel& m : Models::All) {
        Disc::setRequestModel(request, m.name);
        for (int i = 0; i < targets.size(); ++i) {
            const qint64 sent = m_pSocket->writeDatagram(reinterpret_cast<const char*>(request), Disc::HeaderSize,
                                                         targets[i].address, Disc::ReceiverPort);
            if (sent < 0 && m == Models::All[0])
                m_SendErrors << QStringLiteral("sending to %1 failed: %2").arg(m_Destinations[i], m_pSocket->errorString());
        }
    }
}

qint64 CDiscoveryCycle::PendingSize() const
{
    return m_pSocket->pendingDatagramSize();
}

void CDiscoveryCycle::ReadPending(const std::function<void(const Disc::ReplyTable::Outcome&)>& apply)
{
    while (m_pSocket->hasPendingDatagrams()) {
        // Zero the tail so that a short datagram reads as zeros past its end, never as an older reply.
        std::memset(m_RxBuf, 0, sizeof m_RxBuf);
        qint64 got;
        int interface = 0;
        if (m_NoteInterfaces) {
            const QNetworkDatagram d = m_pSocket->receiveDatagram(Disc::RecordSize);
            got = d.isValid() ? d.data().size() : -1;
            std::memcpy(m_RxBuf, d.data().constData(), size_t(qMax<qint64>(got, 0)));
            interface = int(d.interfaceIndex());
        } else {
            got = m_pSocket->readDatagram(reinterpret_cast<char*>(m_RxBuf), sizeof m_RxBuf);
        }
        if (got < 0)
            continue;
        const Disc::ReplyTable::Outcome out = m_Table.accept(m_RxBuf, int(got));
        if (m_NoteInterfaces) {
            if (out.removedRow >= 0)
                m_Interfaces.remove(out.removedRow);
            if (out.row >= 0)
                m_Interfaces.insert(out.row, interface);
        }
        if (apply)
            apply(out);
    }
}

void CDiscoveryCycle::Run(std::function<void()> done)
{
    Clear();
    SendRequests();
    QTimer::singleShot(m_ListenMs, this, [this, done] {
        Close();
        done();
    });
}

int CDiscoveryCycle::RowOf(const QString& serial) const
{
    for (int row = 0; row < m_Table.rows; ++row)
        if (Disc::text(m_Table.header[row], Disc::SerialNum) == serial)
            return row;
    return -1;
}

QString CDiscoveryCycle::Interface(int row) const
{
    return m_NoteInterfaces ? QNetworkInterface::interfaceNameFromIndex(m_Interfaces.value(row)) : QString();
}

QString CDiscoveryCycle::Diagnosis() const
{
    QStringList why;
    if (!m_BindOk)
        why << QStringLiteral("UDP port %1 is taken by another program (is QuillFinder running?), so replies cannot "
                              "be received: %2").arg(Disc::FinderPort).arg(m_SendErrors.value(0));
    else
        why << m_SendErrors;
    bool broadcast = false, nonLoopback = false;
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
        if (!(i.flags() & QNetworkInterface::IsUp) || (i.flags() & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& e : i.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            nonLoopback = true;
            broadcast = broadcast || !e.broadcast().isNull();
        }
    }
    if (!nonLoopback)
        why << QStringLiteral("only the loopback interface is up with an IPv4 address: the broadcasts reach no network");
    else if (!broadcast)
        why << QStringLiteral("no up interface has an IPv4 broadcast address");
    if (why.isEmpty())
        why << QStringLiteral("nothing answered the requests sent to %2 within %1 ms; receivers on a network other "
                              "than the default route's hear only that network's directed broadcast")
                   .arg(m_ListenMs).arg(m_Destinations.join(QStringLiteral(", ")));
    return why.join(QStringLiteral("\n"));
}
