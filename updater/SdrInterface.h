#pragma once

#include "Netio.h"

#include <QMetaType>
#include <QString>

#include <array>

class CFirmwareImage;
class QTimer;

/// Status of the programming interface, carried by CSdrInterface::NewSdrStatus.
enum eSdrStatus {
    SDR_NOT_CONNECTED = 0,
    SDR_GETTING_INFO = 1,
    SDR_GOT_INFO = 2,
    SDR_CONNECTED_IDLE = 3,
    SDR_PROGRAMMING = 4,
    SDR_PROG_DONE = 5,
    SDR_PROG_FAILED = 6,
};
Q_DECLARE_METATYPE(eSdrStatus)

/// How a run ended, or why a start was refused; carried by CSdrInterface::RunResult.
enum eRunResult {
    RUN_DONE = 0,             ///< the device confirmed the end of the run
    RUN_ERASE_TIMEOUT,        ///< no ready answer within the erase bound
    RUN_ACK_TIMEOUT,          ///< an acknowledgement, or the end's confirmation, did not come within its bound
    RUN_APP_ABORTED,          ///< the device aborted an application run
    RUN_CFG_ABORTED,          ///< the device aborted a configuration run
    RUN_LINK_LOST,            ///< the link dropped during the run
    RUN_BLOCKS_LEFT,          ///< blocks were left that could not be sent
    RUN_NOTHING_TO_SEND,      ///< the device was ready, but the image held nothing from the first position on
    START_NOT_CONNECTED,      ///< refused: not connected, or the device's information not read yet
    START_NOT_IDLE,           ///< refused: the status is neither idle nor failed
    START_RUN_ACTIVE,         ///< refused: a run is under way
    START_RECONNECT_PENDING,  ///< refused: a finished run's reconnection is still to come
    START_NO_IMAGE,           ///< refused: the image is empty
    START_IMAGE_TOO_LARGE,    ///< refused: a configuration image that does not stay below its slot size
    START_BAD_GEOMETRY,       ///< refused: the device reported a flash geometry that cannot be programmed
    RUN_ABANDONED,            ///< the record's ending of a run under way when its program ended
    RUN_INTERRUPTED,          ///< the record's ending of a start without an end: killed, or still under way
};
Q_DECLARE_METATYPE(eRunResult)

/// The result in a few words, for people: "done", "no acknowledgement within its bound", ...
QString RunResultText(eRunResult result);
/// The result as a short name for files and scripts: "done", "ack-timeout", ...
const char* RunResultName(eRunResult result);

/// Message types, item codes and layouts of the receiver's control protocol.
namespace SdrMsg {
// Message types, host to device
constexpr int TypeProgControl = 0;   ///< programming control command
constexpr int TypeRequest = 1;       ///< request of a control item
constexpr int TypeAppBlock = 4;      ///< application data block
constexpr int TypeCfgBlock = 5;      ///< configuration data block
// Message types, device to host
constexpr int TypeAnswer = 0;        ///< answer to a request or a control command
constexpr int TypeUnsolicited = 1;   ///< unsolicited control item
constexpr int TypeRange = 2;         ///< range answer, only logged
constexpr int TypeAck = 3;           ///< data-block acknowledgement

// Control items
constexpr quint16 ItemModelName = 0x0001;
constexpr quint16 ItemSerialNum = 0x0002;
constexpr quint16 ItemItem3 = 0x0003;
constexpr quint16 ItemVersion = 0x0004;
constexpr quint16 ItemStatus = 0x0005;
constexpr quint16 ItemProductId = 0x0009;
constexpr quint16 ItemItem18 = 0x0018;
constexpr quint16 ItemProgControl = 0x0300;
constexpr quint16 ItemFlashInfo = 0x0302;

// Offsets from the first header byte
constexpr int OffItem = 2;       ///< u16 item code
constexpr int OffParam = 4;      ///< first byte after the item code
constexpr int OffCtlTarget = 4;  ///< programming control: 0 application, 1 configuration
constexpr int OffCtlCode = 5;    ///< programming control: code
constexpr int OffCtlProduct = 6; ///< programming control: u32 product ID
constexpr int OffBlockAdr = 2;   ///< data block: u32 flash address
constexpr int OffBlockData = 6;  ///< data block: first data byte
constexpr int OffGeom1 = 5;      ///< flash geometry: bank size / flash size
constexpr int OffGeom2 = 9;      ///< flash geometry: block size
constexpr int OffGeom3 = 13;     ///< flash geometry: start offset / slot size
constexpr int OffVersion16 = 5;  ///< version answer: u16 value of ids 0-6
constexpr int OffVersion8 = 6;   ///< version answer: byte value of ids 7-32

constexpr int RequestSize = 4;        ///< bytes: item request
constexpr int RequestParamSize = 5;   ///< bytes: item request with a parameter
constexpr int ProgControlSize = 10;   ///< bytes: programming control command
constexpr int MaxBlockData = TcpMsg::LengthMask - OffBlockData;  ///< bytes: largest block the length field can carry

// Programming control targets and codes
constexpr int TargetApp = 0;
constexpr int TargetCfg = 1;
constexpr int CodeStart = 0;
constexpr int CodeStartData = 1;
constexpr int CodeEnd = 2;
constexpr int CodeAbort = 3;
constexpr int CodeErasedApp = 4;
constexpr int CodeErasedCfg = 5;

constexpr quint32 AppBankSize = 0x200000;  ///< bytes: the only application bank size we program
constexpr int VersionIds = 33;             ///< ids 0 to 32
constexpr int WideVersionIds = 7;          ///< ids 0 to 6 are 16-bit
} // namespace SdrMsg

/// One version the receiver reports, under the name people know it by.
struct VersionName {
    const char* name;  ///< "App Firm 0"
    int id;            ///< version id, as SdrVersions takes it
    bool hundredths;   ///< shown as 1.23 rather than as a plain number
};

/// Versions reported by the device: ids 0-6 are 16-bit, ids 7-32 one byte each.
struct SdrVersions {
    /// Boot, hardware, both applications and the four configurations, in the update dialog's order.
    static const std::array<VersionName, 8> Names;
    /// The version that programming item `item` (0 to 5) changes.
    static const VersionName& OfItem(int item) { return Names[size_t(2 + item)]; }

    quint16 m_Wide[SdrMsg::WideVersionIds] = {};                          ///< ids 0-6, hundredths
    quint8 m_Narrow[SdrMsg::VersionIds - SdrMsg::WideVersionIds] = {};    ///< ids 7-32

    /// Version of `id`; 0 for an id outside 0-32.
    quint16 operator[](int id) const
    {
        if (id < 0 || id >= SdrMsg::VersionIds)
            return 0;
        return id < SdrMsg::WideVersionIds ? m_Wide[id] : m_Narrow[id - SdrMsg::WideVersionIds];
    }
    /// A version as people see it: "1.23" in hundredths, a configuration as a plain number.
    QString Text(const VersionName& which) const;
    /// Every version on one line: "Boot Version 1.01, HW Version 2, ...".
    QString Line() const;
};

/// Receiver control protocol client: reads the device information, keeps the link alive
/// with a status poll and programs the application flash or a configuration slot from a CFirmwareImage.
class CSdrInterface : public CNetio {
    Q_OBJECT
public:
    /// Tick states of OnTickTimer().
    enum { TICK_CONNECT = 0, TICK_WAIT_CONNECT = 1, TICK_WAIT_INFO = 2, TICK_CONNECTED = 3 };
    /// Programming modes.
    enum { PROG_NONE = -1, PROG_APP = 0, PROG_CFG = 1 };

    static constexpr int EraseTimeoutMs = 60000; ///< ms allowed for the ready answer after the start commands: a whole-bank erase
    static constexpr int AckTimeoutMs = 5000;    ///< ms allowed for each acknowledgement, and for the answer to the end command

    /// Stores both pointers and starts the 1-second tick; m_IPAdr and m_Port must be set before the first tick.
    CSdrInterface(QObject* pParent, CFirmwareImage* pImage);
    ~CSdrInterface() override;

    /// Stores the status and emits NewSdrStatus().
    void SetSdrStatus(eSdrStatus status);
    /// Starts programming application `appNumber` from the image; a refused start only logs.
    void StartAppProg(int appNumber);
    /// Starts programming configuration `cfgNumber` (1 to 4) from the image; a refused start only logs.
    void StartConfigProg(int cfgNumber);
    /// Current status.
    eSdrStatus Status() const { return m_Status; }
    /// True from a start that went out until the device confirms, refuses or aborts the run, the link
    /// drops, or the run makes no progress within its bound.
    bool RunActive() const { return m_RunActive; }
    /// True when a start would go out and could run to its end: connected and idle (or after a failure),
    /// no run under way and no reconnection pending.
    bool CanStart() const;
    /// Bounds of a run's two waits, in ms: the erase before the ready answer, and each acknowledgement.
    void SetRunTimeouts(int eraseMs, int ackMs);
    /// How the last run ended, or why the last start was refused.
    eRunResult LastResult() const { return m_LastResult; }
    /// Next image position to send: the run's first position when it starts, one past the last one sent later.
    quint32 NextPosition() const { return m_Current; }

    /// Application flash geometry as the device reported it: bytes per bank.
    quint32 AppBankSize() const { return m_AppBankSize; }
    /// Application flash geometry: data bytes per block.
    quint32 AppBlockSize() const { return m_AppBlockSize; }
    /// Application flash geometry: first image position programmed.
    quint32 AppStartOffset() const { return m_AppStartOffset; }
    /// Configuration flash geometry: bytes of configuration flash.
    quint32 CfgFlashSize() const { return m_CfgFlashSize; }
    /// Configuration flash geometry: data bytes per block.
    quint32 CfgBlockSize() const { return m_CfgBlockSize; }
    /// Configuration flash geometry: bytes per configuration slot.
    quint32 CfgSlotSize() const { return m_CfgSlotSize; }

    QString m_ModelName;     ///< model name reported by the device
    QString m_SerialNum;     ///< serial number reported by the device
    quint32 m_ProductId = 0; ///< product ID reported by the device; key of every programming control command
    SdrVersions m_Versions;  ///< versions by id

signals:
    /// The status changed (or was set again).
    void NewSdrStatus(eSdrStatus status);
    /// Share of the run sent so far, 0 to 100.
    void PercentComplete(int percent);
    /// A run began (a start went out) or ended, whichever way.
    void RunActiveChanged(bool active);
    /// A run ended, and why; once per run, right after RunActiveChanged(false). A refused start
    /// emits nothing: LastResult() says why.
    void RunResult(eRunResult result);

public slots:
    /// Connection state machine, every second.
    void OnTickTimer();

protected:
    void ParseTcpMsg(quint8* pMsg) override;
    void LinkSilent() override;

    /// Sends the fourteen information requests, serial number last.
    void SendInfoRequests();
    /// Sends the status poll.
    void SendStatusPoll();
    /// Sends the next application block; false when nothing is left.
    bool SendNextAppBlock();
    /// Sends the next configuration block; false when nothing is left.
    bool SendNextConfigBlock();
    /// Sends programming control code 2 for `target`.
    void SendProgEnd(int target);
    /// Sends programming control code 3 for `target`.
    void SendProgAbort(int target);

private:
    void SendRequest(quint16 item);
    void SendRequest(quint16 item, quint8 param);
    void SendProgControl(int target, int code);
    bool SendNextBlock(int type, quint32 base, quint32 blockSize);
    void ParseAnswer(const quint8* pMsg, int length);
    void ParseProgControl(const quint8* pMsg);
    void ParseFlashInfo(const quint8* pMsg);
    int Percent() const;
    eRunResult StartProblem() const;
    void Refuse(eRunResult why);
    void BeginRun(int mode, int target);
    void EndRun(eRunResult result);
    void FailRun(eRunResult result);
    void AbortRun(eRunResult result);
    void OnRunTimeout();

    quint16 m_Item3Value = 0;            ///< kept, not used
    QObject* m_pParent = nullptr;        ///< owner, stored only
    CFirmwareImage* m_pImage = nullptr;  ///< image to program, owned by the dialog
    eSdrStatus m_Status = SDR_NOT_CONNECTED;
    int m_TickState = TICK_CONNECT;
    QTimer* m_pTickTimer = nullptr;      ///< child, 1000 ms period
    quint32 m_AppBankSize = 0;           ///< bytes
    quint32 m_AppBlockSize = 0;          ///< data bytes per block
    quint32 m_AppStartOffset = 0;        ///< first image position programmed
    quint32 m_CfgFlashSize = 0;          ///< bytes, logged only
    quint32 m_CfgBlockSize = 0;          ///< data bytes per block
    quint32 m_CfgSlotSize = 0;           ///< bytes between slots; a configuration image must stay below it
    quint32 m_Total = 0;                 ///< image positions of the run end before this
    quint32 m_Current = 0;               ///< next image position to send
    int m_ProgIndex = 0;                 ///< configuration number minus 1, or the application number
    int m_ProgMode = PROG_NONE;          ///< stays after a run ends
    bool m_RunActive = false;            ///< a run was started and has not ended yet
    QTimer* m_pRunWatch = nullptr;       ///< child, single-shot: the current wait of a run has run out
    int m_EraseTimeoutMs = EraseTimeoutMs;  ///< ms
    int m_AckTimeoutMs = AckTimeoutMs;      ///< ms
    eRunResult m_LastResult = RUN_DONE;     ///< told by RunResult once the run is over
    quint8 m_TxMsg[TcpMsg::MaxSize];     ///< every outgoing message is built here
};
