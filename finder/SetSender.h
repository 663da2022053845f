#pragma once

#include <QObject>

class QUdpSocket;

/// The finder's UDP socket on port 48322, bound only while a discovery or a Set needs it,
/// and the Set broadcast: bind, send the record as a Set datagram to 255.255.255.255:48321,
/// close 750 ms later. Widget-free, so the main window, the update dialog and scripts share it.
class CSetSender : public QObject {
    Q_OBJECT
public:
    /// Sends through `socket`, which the caller owns and may also use for discovery.
    CSetSender(QUdpSocket* socket, QObject* parent);

    /// Binds port 48322 unless it is bound already; returns whether the bind worked. The socket counts
    /// as open even after a failed bind, so that the requests still go out and Close() tidies up.
    bool Open();
    /// Closes the socket if it is open, with the line "UDP Close".
    void Close();
    /// True between Open() and Close().
    bool IsOpen() const { return m_Open; }
    /// Turns `record` into a Set datagram in place, broadcasts it and closes the socket 750 ms later.
    void SendSet(quint8* record);

private:
    QUdpSocket* m_pSocket;
    bool m_Open = false;
};
