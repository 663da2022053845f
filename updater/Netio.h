#pragma once

#include "Timing.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>

class QTcpSocket;
class QTimer;

/// Framing shared by every TCP message in both directions: a 16-bit little-endian header
/// whose low 13 bits are the total length and whose top 3 bits are the type.
namespace TcpMsg {
constexpr int HeaderSize = 2;             ///< bytes
constexpr int MaxSize = 8194;             ///< bytes: what a length field of 0 stands for
constexpr quint16 LengthMask = 0x1FFF;    ///< header bits holding the total length
constexpr int TypeShift = 13;             ///< header bit where the 3-bit type starts
constexpr int ReadChunk = 9999;           ///< bytes taken from the socket per framer call

/// Header word of a message of `length` bytes and type `type`.
constexpr quint16 header(int type, int length) { return quint16((type << TypeShift) | (length & LengthMask)); }
/// Message type carried by the header at `p`.
inline int type(const quint8* p) { return p[1] >> 5; }
/// Raw length field of the header at `p` (0 stands for MaxSize).
inline int lengthField(const quint8* p) { return (p[0] | (p[1] << 8)) & LengthMask; }
} // namespace TcpMsg

/// TCP client end of the link to one receiver: owns the socket, drops a silent link after
/// about 5 seconds, cuts the byte stream into messages and hands each to ParseTcpMsg().
class CNetio : public QObject {
    Q_OBJECT
public:
    /// Link states held in m_TcpState.
    enum { TCP_NOT_CONNECTED = 0, TCP_CONNECTING = 1, TCP_CONNECTED = 2 };

    /// Creates the socket and starts the 100 ms supervision timer.
    CNetio();
    /// Aborts a connected socket and deletes it.
    ~CNetio() override;
    CNetio(const CNetio&) = delete;
    CNetio& operator=(const CNetio&) = delete;

    /// Starts a new connection to m_IPAdr:m_Port, aborting a connected socket first.
    void ConnectTcp();
    /// Aborts a connected socket; the link state becomes 0 in every case.
    void DisconnectTcp();
    /// Writes the message at `pMsg`, as many bytes as its header's length field says.
    void SendTcpMsg(const quint8* pMsg);
    /// Feeds `n` received bytes to the framer; ParseTcpMsg() runs once per completed message.
    void FrameBytes(const quint8* p, qint64 n);

    int m_TcpState = TCP_NOT_CONNECTED;  ///< 0 not connected, 1 connecting, 2 connected

protected:
    /// Called once per complete message; `pMsg` points at the receive buffer and is valid only during the call.
    virtual void ParseTcpMsg(quint8* pMsg);
    /// Called when the supervision is about to drop a silent link, while it is still up: a last message
    /// sent here reaches the peer before the link closes.
    virtual void LinkSilent();

    quint8 m_RxMsg[TcpMsg::MaxSize];  ///< message being assembled
    int m_RxLength = 0;               ///< bytes: total length of the message being assembled
    int m_RxIndex = 0;                ///< next byte position while the body is collected
    int m_RxPhase = 0;                ///< 0 first header byte, 1 second header byte, 2 body
    int m_TimeoutCount = Timing::SupervisionTicks;  ///< supervision ticks left

public:
    QHostAddress m_IPAdr;  ///< peer address, set before connecting
    quint16 m_Port = 0;    ///< peer TCP port, set before connecting

public slots:
    /// Supervision tick, every 100 ms.
    void OnTimer();
    /// Reads everything the socket holds and frames it.
    void ReadTcpDataSlot();
    /// Follows the socket's state into m_TcpState.
    void TcpStateChangedSlot(QAbstractSocket::SocketState State);

private:
    QTcpSocket* m_pTcpSocket = nullptr;  ///< owned, no Qt parent
    QTimer* m_pTimer = nullptr;          ///< child, 100 ms period
};
