#include "Finder.h"

#include "ReceiverModel.h"
#include "SetSender.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

#include <cstring>

namespace {

/// Directed broadcast addresses of every up IPv4 interface that has one, with the interface's name.
QVector<QPair<QHostAddress, QString>> directedBroadcasts()
{
    QVector<QPair<QHostAddress, QString>> out;
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

Finder::Finder(int listenMs, bool allInterfaces, QObject* parent)
    : QObject(parent)
    , m_pSocket(new QUdpSocket(this))
    , m_pSender(new CSetSender(m_pSocket, this))
    , m_ListenMs(listenMs)
    , m_AllInterfaces(allInterfaces)
{
    connect(m_pSocket, &QUdpSocket::readyRead, this, &Finder::Read);
}

void Finder::Run(std::function<void()> done)
{
    m_Table.rows = 0;
    m_Interfaces.clear();
    SendRequests();
    QTimer::singleShot(m_ListenMs, this, [this, done] {
        m_pSender->Close();
        done();
    });
}

void Finder::SendRequests()
{
    m_SendErrors.clear();
    m_Destinations = QStringList{QStringLiteral("255.255.255.255")};
    if (!m_pSender->IsOpen()) {
        m_BindOk = m_pSender->Open();
        qDebug() << "UDP bind" << m_BindOk;
        if (!m_BindOk)
            m_SendErrors << m_pSocket->errorString();
    }
    QVector<QPair<QHostAddress, QString>> targets{{QHostAddress(QHostAddress::Broadcast), QString()}};
    if (m_AllInterfaces)
        targets += directedBroadcasts();
    // One request per model; each later one only writes its name and terminator over the first.
    quint8 request[Disc::HeaderSize];
    Disc::buildRequest(request, Models::All[0].name);
    for (const ReceiverModel& m : Models::All) {
        Disc::setRequestModel(request, m.name);
        for (const auto& t : targets) {
            const qint64 sent = m_pSocket->writeDatagram(reinterpret_cast<const char*>(request), Disc::HeaderSize,
                                                         t.first, Disc::ReceiverPort);
            const QString to = t.first.toString() + (t.second.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(t.second));
            if (&m == &Models::All[0] && t.second.size())
                m_Destinations << to;
            if (sent < 0 && &m == &Models::All[0])
                m_SendErrors << QStringLiteral("sending to %1 failed: %2").arg(to, m_pSocket->errorString());
        }
    }
}

void Finder::SendSet(quint8* record)
{
    m_pSender->SendSet(record);
}

void Finder::Read()
{
    while (m_pSocket->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_pSocket->receiveDatagram(Disc::RecordSize);
        // Zeros behind a short datagram, never an older reply's bytes, as in the main window.
        quint8 buf[Disc::RecordSize] = {};
        const QByteArray data = d.data();
        std::memcpy(buf, data.constData(), size_t(data.size()));
        const Disc::ReplyTable::Outcome out = m_Table.accept(buf, data.size());
        if (out.removedRow >= 0)
            m_Interfaces.remove(out.removedRow);
        if (out.row >= 0)
            m_Interfaces.insert(out.row, int(d.interfaceIndex()));
    }
}

int Finder::RowOf(const QString& serial) const
{
    for (int row = 0; row < m_Table.rows; ++row)
        if (Disc::text(m_Table.header[row], Disc::SerialNum) == serial)
            return row;
    return -1;
}

QString Finder::Interface(int row) const
{
    return QNetworkInterface::interfaceNameFromIndex(m_Interfaces.value(row));
}

QString Finder::Diagnosis() const
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
                              "than the default route's are found with --all-interfaces")
                   .arg(m_ListenMs).arg(m_Destinations.join(QStringLiteral(", ")));
    return why.join(QStringLiteral("\n"));
}
