#include "SetSender.h"

#include "DiscoveryDatagram.h"
#include "Timing.h"

#include <QDebug>
#include <QTimer>
#include <QUdpSocket>

CSetSender::CSetSender(QUdpSocket* socket, QObject* parent)
    : QObject(parent)
    , m_pSocket(socket)
{
}

bool CSetSender::Open()
{
    bool ok = true;
    if (!m_Open)
        ok = m_pSocket->bind(QHostAddress::Any, Disc::FinderPort);
    m_Open = true;
    return ok;
}

void CSetSender::Close()
{
    // Close timers are never cancelled: the first one closes, the later ones find nothing to do.
    if (!m_Open)
        return;
    m_pSocket->close();
    m_Open = false;
    qDebug("UDP Close");
}

void CSetSender::SendSet(quint8* record)
{
    const int length = Disc::makeSet(record);
    Open();
    qDebug("UDP Open send Set msg");
    // Broadcast like the requests: the receiver may no longer be reachable at its old address.
    m_pSocket->writeDatagram(reinterpret_cast<const char*>(record), length, QHostAddress::Broadcast, Disc::ReceiverPort);
    QTimer::singleShot(Timing::SetToCloseMs, this, &CSetSender::Close);
}
