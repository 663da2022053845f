#include "Netio.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

CNetio::CNetio()
{
    m_pTcpSocket = new QTcpSocket();
    connect(m_pTcpSocket, &QTcpSocket::readyRead, this, &CNetio::ReadTcpDataSlot);
    connect(m_pTcpSocket, &QTcpSocket::stateChanged, this, &CNetio::TcpStateChangedSlot);
    // Nagle stays on: blocks and acknowledgements alternate, so nothing of ours is unacknowledged
    // when the next block is written and Nagle never holds it back.

    m_pTimer = new QTimer(this);
    connect(m_pTimer, &QTimer::timeout, this, &CNetio::OnTimer);
    m_pTimer->start(Timing::SupervisionMs);
    m_TcpState = TCP_NOT_CONNECTED;
    m_TimeoutCount = Timing::SupervisionTicks;
}

CNetio::~CNetio()
{
    qDebug("CNetio destructor");
    DisconnectTcp();
    disconnect();
    m_pTcpSocket->disconnect(this);
    delete m_pTcpSocket;
}

void CNetio::ConnectTcp()
{
    m_TimeoutCount = Timing::SupervisionTicks;
    m_RxLength = 0;
    m_RxIndex = 0;
    m_RxPhase = 0;
    if (m_pTcpSocket->state() == QAbstractSocket::ConnectedState) {
        m_pTcpSocket->abort();
        m_pTcpSocket->close();
    }
    m_pTcpSocket->connectToHost(m_IPAdr, m_Port, QIODevice::ReadWrite);
    qDebug().noquote() << "Connecting to" << m_IPAdr.toString() << m_Port;
}

void CNetio::DisconnectTcp()
{
    if (m_pTcpSocket->state() == QAbstractSocket::ConnectedState) {
        // A last message (an abort request) still in Qt's buffer goes to the kernel before the link closes.
        m_pTcpSocket->flush();
        m_pTcpSocket->abort();
        m_pTcpSocket->close();
    }
    m_TcpState = TCP_NOT_CONNECTED;
}

void CNetio::SendTcpMsg(const quint8* pMsg)
{
    if (!m_pTcpSocket->isValid())
        return;
    const qint64 length = TcpMsg::lengthField(pMsg);
    m_pTcpSocket->write(reinterpret_cast<const char*>(pMsg), length);
}

void CNetio::ParseTcpMsg(quint8*)
{
}

void CNetio::LinkSilent()
{
}

void CNetio::OnTimer()
{
    if (m_TcpState == TCP_NOT_CONNECTED)
        return;
    if (m_TimeoutCount == 0) {
        LinkSilent();
        DisconnectTcp();
        m_TcpState = TCP_NOT_CONNECTED;
        qDebug("TCP_Connect_Timeout");
    } else {
        --m_TimeoutCount;
    }
}

void CNetio::ReadTcpDataSlot()
{
    if (!m_pTcpSocket->isValid())
        return;
    // A backlog larger than one piece is taken in several pieces in one go: leaving it in the socket
    // would wait for a readyRead that does not come until the peer sends again.
    quint8 buf[TcpMsg::ReadChunk + 1];
    qint64 available = m_pTcpSocket->bytesAvailable();
    while (available > 0) {
        const qint64 n = m_pTcpSocket->read(reinterpret_cast<char*>(buf), qMin<qint64>(available, TcpMsg::ReadChunk));
        if (n <= 0)
            break;
        FrameBytes(buf, n);
        // The hook may have dropped the link; a closed socket has nothing left to read.
        if (!m_pTcpSocket->isValid())
            break;
        available = m_pTcpSocket->bytesAvailable();
    }
    m_TimeoutCount = Timing::SupervisionTicks;
}

void CNetio::FrameBytes(const quint8* p, qint64 n)
{
    for (qint64 i = 0; i < n; ++i) {
        const quint8 b = p[i];
        switch (m_RxPhase) {
        case 0:
            m_RxMsg[0] = b;
            m_RxPhase = 1;
            break;
        case 1:
            m_RxMsg[1] = b;
            m_RxIndex = TcpMsg::HeaderSize;
            m_RxLength = TcpMsg::lengthField(m_RxMsg);
            if (m_RxLength == TcpMsg::HeaderSize) {
                m_RxPhase = 0;
                ParseTcpMsg(m_RxMsg);
            } else {
                if (m_RxLength == 0)
                    m_RxLength = TcpMsg::MaxSize;
                m_RxPhase = 2;
            }
            break;
        default:
            m_RxMsg[m_RxIndex++] = b;
            // ">=" rather than "==": an invalid length field of 1 ends the message after one
            // more byte instead of running past the buffer.
            if (m_RxIndex >= m_RxLength) {
                m_RxPhase = 0;
                m_RxIndex = 0;
                ParseTcpMsg(m_RxMsg);
            }
            break;
        }
    }
}

void CNetio::TcpStateChangedSlot(QAbstractSocket::SocketState State)
{
    qDebug() << State;
    switch (State) {
    case QAbstractSocket::UnconnectedState:
    case QAbstractSocket::ClosingState:
        m_TcpState = TCP_NOT_CONNECTED;
        break;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        m_TcpState = TCP_CONNECTING;
        break;
    case QAbstractSocket::ConnectedState:
        m_TcpState = TCP_CONNECTED;
        break;
    default:
        break;
    }
}
