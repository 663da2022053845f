#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include "SimModel.h"

class QJsonObject;
class QJsonValue;
class QTcpServer;
class QTcpSocket;
class QTimer;

/// How one emulated receiver serves the TCP control and programming protocol.
///
/// JSON keys read by fromJson() (all optional; numbers may also be strings such as "0x4000"):
///   "productId"        number, or its four characters; 0 or absent: the model's in SimModels (QuillSim
///                      refuses a receiver of any other model that serves its control port without one)
///   "versions"         object of id -> value, e.g. {"0": 105, "4": 123, "7": 2}; ids 0-6 16-bit, 7-32 8-bit;
///                      a completed run replaces its item's with the version its image carries
///   "appBankSize"      bytes per application bank (default 0x200000)
///   "appBlockSize"     data bytes per application block (default 1024)
///   "appStartOffset"   first application position programmed (default 0x4000)
///   "cfgFlashSize"     bytes of configuration flash (default 0x200000)
///   "cfgBlockSize"     data bytes per configuration block (default 1024)
///   "cfgSlotSize"      bytes per configuration slot (default 0x80000)
///   "statusPeriodMs"   period of unsolicited status items, 0 for none (default 0)
///   "statusByte"       status value in polls and unsolicited items (default 0)
///   "failure"          one of "None", "DropAfterBlocks", "Stall", "AbortConfig", "AbortApp", "UnknownProduct",
///                      "SlowAck", "Garbage", "DuplicateAck", "AckWithoutRun", "NeverReady" (default "None")
///   "failAfterBlocks"  data blocks of a run before DropAfterBlocks, Stall, AbortConfig, AbortApp or Garbage
///                      strike; 0 means at once (Stall, Garbage: on connecting; AbortConfig, AbortApp: on start)
///   "slowAckMs"        delay of each acknowledgement for SlowAck (default 200)
///   "eraseMs"          delay between a run's start and the ready answer, as a flash erase takes (default 0);
///                      status polls are answered meanwhile, and a data block before the ready answer is
///                      a protocol violation
///   "garbageBytes"     length of a Garbage burst (default 64)
///   "failOnce"         true (default): a striking failure disarms itself, so the next attempt succeeds
struct SimControlConfig {
    /// Named ways to misbehave, for tests of the client's failure handling.
    enum Failure {
        None,             ///< behaves
        DropAfterBlocks,  ///< closes the link after failAfterBlocks data blocks, without acknowledging the last
        Stall,            ///< stops answering anything (after failAfterBlocks blocks, or from the connection on); unsolicited status goes on
        AbortConfig,      ///< answers a configuration run with control code 3
        UnknownProduct,   ///< reports a product ID that no model has
        SlowAck,          ///< delays each acknowledgement by slowAckMs
        Garbage,          ///< sends garbageBytes of noise (after failAfterBlocks blocks, or on connecting)
        DuplicateAck,     ///< acknowledges block failAfterBlocks twice
        AckWithoutRun,    ///< sends an acknowledgement right after connecting, before any run
        AbortApp,         ///< answers an application run with control code 3
        NeverReady,       ///< erases for ever: the ready answer never comes (polls are still answered)
    };

    static constexpr quint32 ProductUnknown = 0x4E4B4E55;  ///< "UNKN", reported by UnknownProduct
    static constexpr int VersionIds = 33;                  ///< ids 0 to 32

    QString model = QLatin1String(SimModels::All[0].name);
    QString serial = QStringLiteral("QR000001");
    quint32 productId = 0;              ///< 0: the model's
    QVector<quint16> versions;          ///< by id, 33 entries (hundredths for 0-6, plain byte for 7-32)
    quint32 appBankSize = 0x200000;     ///< bytes
    quint32 appBlockSize = 1024;        ///< data bytes per block
    quint32 appStartOffset = 0x4000;    ///< first application position programmed
    quint32 cfgFlashSize = 0x200000;    ///< bytes
    quint32 cfgBlockSize = 1024;        ///< data bytes per block
    quint32 cfgSlotSize = 0x80000;      ///< bytes; holds a bitstream of a mid-size FPGA
    int statusPeriodMs = 0;             ///< ms between unsolicited status items; 0 for none
    quint8 statusByte = 0;              ///< status value reported
    Failure failure = None;
    int failAfterBlocks = 0;            ///< data blocks of a run before the failure strikes
    int slowAckMs = 200;                ///< ms, SlowAck only
    int eraseMs = 0;                    ///< ms between a run's start and the ready answer
    int garbageBytes = 64;              ///< bytes, Garbage only
    bool failOnce = true;               ///< the failure disarms itself after striking

    SimControlConfig();
    /// The product ID reported: unknown for UnknownProduct, else the explicit one, else the model's;
    /// 0 for a model SimModels does not list.
    quint32 reportedProductId() const;
    /// A "productId" value as fromJson() reads it; 0 when absent or not a product ID.
    static quint32 productIdFromJson(const QJsonValue& v);
    /// Reads the keys listed above; unknown keys are logged and ignored.
    static SimControlConfig fromJson(const QJsonObject& o);
    /// Failure by name; None for an unknown name.
    static Failure failureFromName(const QString& name, bool* ok = nullptr);
};

/// Device end of the control protocol for one emulated receiver: answers the information items,
/// keeps an emulated application and configuration flash and checks what was programmed.
/// After a completed run the item reports the version the image written carries (AppVersion(),
/// CfgVersion()), so a wrong or stale file shows as a wrong version.
/// Serves one connection at a time; a new connection replaces the old one.
class SimControl : public QObject {
    Q_OBJECT
public:
    /// Application banks emulated.
    static constexpr int AppBanks = 2;

    /// Sets up the emulated flash (erased) and versions from `config`.
    explicit SimControl(const SimControlConfig& config, QObject* parent = nullptr);
    ~SimControl() override;

    /// Listens on `address`:`port`; port 0 picks a free port.
    bool listen(const QHostAddress& address, quint16 port);
    /// The port listened on, 0 before listen().
    quint16 serverPort() const;
    /// The address listened on.
    QHostAddress serverAddress() const;
    /// Closes the listening socket and the connection.
    void close();

    /// Application flash of `bank` (0 or 1), appBankSize bytes.
    QByteArray appFlash(int bank) const;
    /// Configuration slot `slot` (0 to 3 for configurations 1 to 4), cfgSlotSize bytes.
    QByteArray cfgSlot(int slot) const;
    /// Version currently reported for `id` (0 to 32).
    quint16 version(int id) const;
    /// The configuration in force.
    const SimControlConfig& config() const { return m_Config; }

    /// Messages received, in order, whole; data blocks are kept as their 6-byte header and address.
    QList<QByteArray> received() const { return m_Received; }
    /// Forgets the received messages.
    void clearReceived() { m_Received.clear(); }
    /// Human-readable record of connections, runs and failures.
    QStringList log() const { return m_Log; }
    /// Connections accepted so far.
    int connectionCount() const { return m_Connections; }
    /// Data blocks written into the flash so far.
    int blocksWritten() const { return m_BlocksWritten; }
    /// Runs completed and checked successfully.
    int runsCompleted() const { return m_RunsCompleted; }
    /// Runs started with control code 0.
    int runsStarted() const { return m_RunsStarted; }
    /// Runs whose link closed before they were ended or aborted: the flash may hold a half-written image.
    int runsCut() const { return m_RunsCut; }
    /// Messages that broke the protocol, such as a data block before the ready answer.
    int protocolViolations() const { return m_Violations; }

signals:
    /// A line was added to log().
    void logLine(const QString& line);
    /// A run ended with control code 2; `ok` false when the application CRC did not match.
    void runFinished(int target, bool ok);

private:
    void OnNewConnection();
    void OnReadyRead();
    void OnDisconnected();
    void OnStatusTimer();
    void Handle(const quint8* m, int length);
    void HandleRequest(const quint8* m, int length);
    void HandleControl(const quint8* m, int length);
    void HandleBlock(const quint8* m, int length, int type);
    void Acknowledge(quint32 address);
    void Send(const quint8* m, int length);
    void SendGarbage();
    void Note(const QString& line);
    bool Strikes(SimControlConfig::Failure f, int blocks) const;
    void Disarm();
    void CutRun();
    quint32 ComputeCrc(const quint8* p, quint32 bytes) const;
    bool CheckApplication(int bank, QString* why) const;
    /// The version the image in application `bank` carries: 16 bits at position 0x4208, hundredths.
    quint16 AppVersion(int bank) const;
    /// The version the bitstream in configuration `slot` carries: its UserID's low byte, 0xFF without one.
    quint8 CfgVersion(int slot) const;

    SimControlConfig m_Config;
    QTcpServer* m_pServer = nullptr;
    QPointer<QTcpSocket> m_pConn;
    QTimer* m_pStatusTimer = nullptr;
    QByteArray m_AppFlash;                 ///< AppBanks x appBankSize bytes
    QByteArray m_CfgFlash;                 ///< cfgFlashSize bytes
    quint16 m_Versions[SimControlConfig::VersionIds] = {};
    quint8 m_Rx[8194];                     ///< message being read
    int m_RxHave = 0;                      ///< bytes of it read so far
    int m_RxNeed = 0;                      ///< its total length once the header is in
    bool m_Stalled = false;                ///< this connection answers nothing more
    bool m_FailureArmed = true;
    int m_RunTarget = -1;                  ///< 0 application, 1 configuration, -1 no run
    bool m_RunReady = false;               ///< code 1 answered: blocks accepted
    int m_RunBlocks = 0;                   ///< blocks of the current run
    int m_RunUnit = -1;                    ///< bank or slot the run wrote to
    quint32 m_Erased = 0;                  ///< bit per bank or slot erased during this run
    quint32 m_Noise = 0x12345678;          ///< garbage generator state
    int m_Connections = 0;
    int m_BlocksWritten = 0;
    int m_RunsCompleted = 0;
    int m_RunsStarted = 0;
    int m_RunsCut = 0;
    int m_Violations = 0;
    int m_RunSerial = 0;                   ///< tells a delayed ready answer whether its run is still on
    QList<QByteArray> m_Received;
    QStringList m_Log;
};
