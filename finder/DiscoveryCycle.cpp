#include "DiscoveryCycle.h"

#include "ReceiverModel.h"
#include "SetSender.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <climits>
#include <cstring>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

namespace {

/// What Linux charges a receive buffer for one 862-byte reply with its bookkeeping: the default
/// buffer of 212992 bytes holds 92 replies.
constexpr qint64 kBufferPerReply = 2304;  ///< bytes
/// A receiver hears each model's request twice: from a dual-stack socket Qt sends a broadcast to
/// 255.255.255.255 and again to every interface's own broadcast address.
constexpr int kCopiesPerRequest = 2;

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

CDiscoveryCycle::CDiscoveryCycle(QUdpSocket* socket, int capacity, QObject* parent)
    : QObject(parent)
    , m_pSocket(socket)
    , m_pSender(new CSetSender(socket, this))
    , m_Table(capacity)
{
}

CDiscoveryCycle::CDiscoveryCycle(QObject* parent, int capacity)
    : CDiscoveryCycle(new QUdpSocket, capacity, parent)
{
    m_pSocket->setParent(this);
    m_NoteInterfaces = true;
    m_OwnSocket = true;
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
    m_Dropped.clear();
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
        else if (m_OwnSocket)
            GrowReceiveBuffer();
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

void CDiscoveryCycle::GrowReceiveBuffer()
{
    // Every receiver answers each model's request at once, and the default buffer (about 200 KiB)
    // holds under a hundred replies: the rest of a big fleet's burst would be lost unseen. A small table
    // gets a fleet's buffer too, so that the receivers it drops are still heard and counted.
    const qint64 receivers = qMax(m_Table.capacity(), Disc::CommandLineRows);
    const int bytes = int(qMin<qint64>(receivers * Models::Count * kCopiesPerRequest * kBufferPerReply, INT_MAX / 2));
    bool forced = false;
#if defined(Q_OS_LINUX) && defined(SO_RCVBUFFORCE)
    // Passes net.core.rmem_max, given CAP_NET_ADMIN; an ordinary user gets at most that maximum below.
    forced = ::setsockopt(int(m_pSocket->socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
#endif
    if (!forced)
        m_pSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
    qDebug() << "UDP receive buffer" << m_pSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt()
             << "bytes of" << bytes << "asked";
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
        if (out.dropped)
            m_Dropped.insert(Disc::text(m_RxBuf, Disc::SerialNum));
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
        if (Disc::text(m_Table.header(row), Disc::SerialNum) == serial)
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
