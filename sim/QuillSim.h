#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QVector>

class QUdpSocket;
class SimControl;

/// One emulated receiver as the discovery side sees it.
struct SimReceiver {
    /// Ways a receiver can answer badly, for tests of the finder's acceptance rules.
    enum Misbehaviour {
        Polite,      ///< answers with its record, `Length` bytes
        WrongKey,    ///< second key byte wrong
        ShortReply,  ///< sends only `replySize` bytes (default 40)
        Overlong,    ///< sends `replySize` bytes (default 1000), padded past the record
    };

    QByteArray record;          ///< 862 bytes: the discovery record this receiver answers with
    int replyDelayMs = 0;       ///< ms between request and answer
    int adoptDelayMs = 0;       ///< ms between a Set and its adoption, as a receiver that restarts its network
    Misbehaviour misbehaviour = Polite;
    int replySize = -1;         ///< bytes sent; -1: the record's own `Length`
    bool ownModelOnly = false;  ///< answers only requests that name its own model
    bool serveTcp = true;       ///< serve the control protocol on its address and port
    QJsonObject control;        ///< control-protocol settings for the TCP side
    QByteArray lastSet;         ///< the last Set datagram it adopted, as received
    int setsAdopted = 0;

    QString serial() const;
    QString model() const;
    QHostAddress address() const;
    quint16 tcpPort() const;

    /// Builds a receiver from its JSON description; unknown keys are an error.
    static SimReceiver fromJson(const QJsonObject& o, QString* error);
};

/// Emulates any number of receivers on the discovery port, and the control ports of those whose
/// product ID it knows: their model's in SimModels, or one given in their "control".
/// Several instances may run side by side: the discovery port is bound with address reuse.
class QuillSim : public QObject {
    Q_OBJECT
public:
    explicit QuillSim(QObject* parent = nullptr);
    ~QuillSim() override;

    /// Adds receivers from a JSON document: {"receivers": [ {...}, ... ]}; false, with the reason, at
    /// the first receiver that is malformed or would serve a control port without a product ID.
    bool loadJson(const QByteArray& json, QString* error);
    /// Adds one receiver; call before start().
    void addReceiver(const SimReceiver& r);
    /// Binds the discovery port and opens the control ports; false, with the reason, when a receiver
    /// would serve a control port without a product ID, before anything is bound.
    bool start(QString* error);

    int count() const { return m_Receivers.size(); }
    SimReceiver& receiver(int i) { return m_Receivers[i]; }
    /// Index of the receiver with this serial number, or -1.
    int indexOf(const QString& serial) const;
    /// The control-protocol side of receiver i, or nullptr when it serves none.
    SimControl* control(int i) const { return m_Controls.value(i); }

    /// Every datagram received on the discovery port, in order.
    const QVector<QByteArray>& received() const { return m_Received; }
    void clearReceived() { m_Received.clear(); }

signals:
    void datagramReceived(const QByteArray& datagram);
    void setAdopted(int receiverIndex);

private:
    void ReadDatagrams();
    void Answer(int i, const QByteArray& request, const QHostAddress& to);
    void Adopt(int i, const QByteArray& set);

    QUdpSocket* m_pSocket = nullptr;
    QVector<SimReceiver> m_Receivers;
    QVector<SimControl*> m_Controls;
    QVector<QByteArray> m_Received;
};

/// Record fields by name, for JSON and for people and tests that read what a receiver adopted.
namespace SimRecord {
constexpr int Size = 862;       ///< bytes
constexpr quint16 Port = 48321; ///< discovery port of the receivers
constexpr quint16 ReplyPort = 48322;
/// A record with every field from JSON (missing keys take plain defaults).
QByteArray build(const QJsonObject& o, QString* error);
/// The record's fields by name, decoded with the emulator's own layout table.
QJsonObject fields(const QByteArray& record);
}
