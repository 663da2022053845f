#include "SdrInterface.h"

#include "ByteOrder.h"
#include "DiscoveryDatagram.h"
#include "FirmwareImage.h"
#include "ReceiverModel.h"

#include <QDebug>
#include <QStringList>
#include <QTimer>
#include <cstring>

using namespace SdrMsg;
using LE::setU16;
using LE::setU32;
using LE::u16;
using LE::u32;

namespace {
// The version ids the information requests ask for, in sending order (1 and 3 are never asked).
constexpr quint8 RequestedVersionIds[] = {0, 2, 4, 5, 6, 7, 8, 9, 10};

// Total length of the message in the receive buffer; the framer delivered exactly this many bytes,
// except for the invalid length field 1, after which it collected one more.
int messageLength(const quint8* pMsg)
{
    const int length = TcpMsg::lengthField(pMsg);
    if (length == 0)
        return TcpMsg::MaxSize;
    return qMax(length, TcpMsg::HeaderSize + 1);
}

// A NUL-terminated text from `offset`, never read past the end of the message.
QString textAt(const quint8* pMsg, int offset, int length)
{
    int end = offset;
    while (end < length && pMsg[end] != 0)
        ++end;
    return QString::fromLatin1(reinterpret_cast<const char*>(pMsg + offset), qMax(0, end - offset));
}
} // namespace

namespace {
/// Each result's name for files and scripts and its words for people, in the order of eRunResult.
struct RunResultWords {
    const char* name;
    const char* text;
};
const RunResultWords RunResults[] = {
    {"done", "done"},
    {"erase-timeout", "the receiver was not ready within the erase bound"},
    {"ack-timeout", "the receiver stopped acknowledging (no answer within the acknowledgement bound)"},
    {"app-aborted", "the receiver aborted the application run"},
    {"cfg-aborted", "the receiver aborted the configuration run"},
    {"link-lost", "the link was lost during the run"},
    {"blocks-left", "blocks were left that could not be sent"},
    {"nothing-to-send", "the image holds nothing to send"},
    {"not-connected", "not started: the receiver is not connected and read"},
    {"not-idle", "not started: the receiver is not idle"},
    {"run-active", "not started: a run is under way"},
    {"reconnect-pending", "not started: the last run's reconnection is still to come"},
    {"no-image", "not started: the image is empty"},
    {"image-too-large", "not started: the image does not fit the receiver's configuration slot"},
    {"bad-geometry", "not started: the receiver's flash geometry does not fit the image"},
    {"abandoned", "the program ended during the run"},
    {"interrupted", "no end recorded: the run is still under way, or its program was killed"},
};
static_assert(sizeof RunResults / sizeof RunResults[0] == RUN_INTERRUPTED + 1, "one entry per result");

const RunResultWords* wordsOf(eRunResult result)
{
    return result >= 0 && result <= RUN_INTERRUPTED ? &RunResults[result] : nullptr;
}
} // namespace

QString RunResultText(eRunResult result)
{
    const RunResultWords* w = wordsOf(result);
    return w ? QLatin1String(w->text) : QStringLiteral("unknown result %1").arg(int(result));
}

const char* RunResultName(eRunResult result)
{
    const RunResultWords* w = wordsOf(result);
    return w ? w->name : "unknown";
}

const std::array<VersionName, 8> SdrVersions::Names = {{
    {"Boot Version", 0, true},
    {"HW Version", 2, true},
    {"App Firm 0", 4, true},
    {"App Firm 1", 5, true},
    {"Config 1", 7, false},
    {"Config 2", 8, false},
    {"Config 3", 9, false},
    {"Config 4", 10, false},
}};

QString SdrVersions::Text(const VersionName& which) const
{
    const quint16 v = (*this)[which.id];
    return which.hundredths ? Disc::versionText(v) : QString::number(v);
}

QString SdrVersions::Line() const
{
    QStringList parts;
    for (const VersionName& n : Names)
        parts << QStringLiteral("%1 %2").arg(QLatin1String(n.name), Text(n));
    return parts.join(QStringLiteral(", "));
}

CSdrInterface::CSdrInterface(QObject* pParent, CFirmwareImage* pImage)
    : m_pParent(pParent)
    , m_pImage(pImage)
{
    qRegisterMetaType<eSdrStatus>("eSdrStatus");
    qRegisterMetaType<eRunResult>("eRunResult");
    m_pTickTimer = new QTimer(this);
    connect(m_pTickTimer, &QTimer::timeout, this, &CSdrInterface::OnTickTimer);
    m_pTickTimer->start(Timing::TickMs);
    m_TickState = TICK_CONNECT;
    m_pRunWatch = new QTimer(this);
    m_pRunWatch->setSingleShot(true);
    connect(m_pRunWatch, &QTimer::timeout, this, &CSdrInterface::OnRunTimeout);
    qDebug() << "CSdrInterface Constructor" << static_cast<void*>(pImage);
}

CSdrInterface::~CSdrInterface()
{
    // Only an ending application gets here with a run under way: the device hears that the run is
    // off instead of waiting for blocks that will not come.
    if (m_RunActive) {
        qDebug("Prog abandoned");
        SendProgAbort(m_ProgMode == PROG_APP ? TargetApp : TargetCfg);
    }
    qDebug("CSdrInterface Destructor");
}

void CSdrInterface::SetSdrStatus(eSdrStatus status)
{
    m_Status = status;
    // Each of these ends a run: confirmed, refused, or its link gone. The run is over before anyone
    // hears the status, so that what they unlock on it is really free.
    const bool ends = status == SDR_PROG_DONE || status == SDR_PROG_FAILED || status == SDR_NOT_CONNECTED;
    const bool wasActive = m_RunActive;
    if (ends) {
        m_RunActive = false;
        m_pRunWatch->stop();
    }
    // Kept aside: a start refused by someone who hears the status must not rename the run's end.
    const eRunResult ended = m_LastResult;
    emit NewSdrStatus(status);
    if (ends && wasActive) {
        m_LastResult = ended;
        emit RunActiveChanged(false);
        emit RunResult(ended);
    }
}

eRunResult CSdrInterface::StartProblem() const
{
    if (m_RunActive)
        return START_RUN_ACTIVE;
    // After "ProgDone" the next tick drops the link to read the new versions: a run started in
    // between would be cut off after the receiver had erased its flash.
    if (m_Status == SDR_PROG_DONE)
        return START_RECONNECT_PENDING;
    if (m_TcpState != TCP_CONNECTED || m_TickState != TICK_CONNECTED)
        return START_NOT_CONNECTED;
    if (m_Status != SDR_CONNECTED_IDLE && m_Status != SDR_PROG_FAILED)
        return START_NOT_IDLE;
    return RUN_DONE;  // nothing stands in the way
}

bool CSdrInterface::CanStart() const
{
    return StartProblem() == RUN_DONE;
}

void CSdrInterface::Refuse(eRunResult why)
{
    // Only kept: a refused start writes its log line and emits nothing.
    m_LastResult = why;
}

void CSdrInterface::SetRunTimeouts(int eraseMs, int ackMs)
{
    m_EraseTimeoutMs = eraseMs;
    m_AckTimeoutMs = ackMs;
}

void CSdrInterface::BeginRun(int mode, int target)
{
    m_ProgMode = mode;
    m_RunActive = true;
    // Nothing may go out before the device's ready answer, and that comes only after the erase.
    m_pRunWatch->start(m_EraseTimeoutMs);
    SendProgControl(target, CodeStart);
    SendProgControl(target, CodeStartData);
    emit RunActiveChanged(true);
    emit PercentComplete(0);
}

void CSdrInterface::EndRun(eRunResult result)
{
    if (!m_RunActive)
        return;
    m_RunActive = false;
    m_pRunWatch->stop();
    m_LastResult = result;
    emit RunActiveChanged(false);
    emit RunResult(result);
}

void CSdrInterface::FailRun(eRunResult result)
{
    // A late acknowledgement of a failed run must not send the rest of it, nor the end command.
    m_ProgMode = PROG_NONE;
    // The device's answer to our own abort arrives after the run has failed and names nothing new.
    if (m_RunActive)
        m_LastResult = result;
    SetSdrStatus(SDR_PROG_FAILED);
}

void CSdrInterface::AbortRun(eRunResult result)
{
    qDebug("Prog Timeout");
    SendProgAbort(m_ProgMode == PROG_APP ? TargetApp : TargetCfg);
    FailRun(result);
}

void CSdrInterface::OnRunTimeout()
{
    // Past the ready answer the wait is for an acknowledgement; before it, for the erase.
    if (m_RunActive)
        AbortRun(m_Status == SDR_PROGRAMMING ? RUN_ACK_TIMEOUT : RUN_ERASE_TIMEOUT);
}

void CSdrInterface::LinkSilent()
{
    // A receiver that falls silent mid-run trips this and the run's own bound within a few
    // milliseconds of each other. Whichever comes first, the receiver hears the abort while the link
    // still stands. Here the run is lost with its link: the next tick ends it, once, without a failure
    // status, and nothing more of it goes out meanwhile.
    if (!m_RunActive)
        return;
    qDebug("Prog link silent");
    SendProgAbort(m_ProgMode == PROG_APP ? TargetApp : TargetCfg);
    m_ProgMode = PROG_NONE;
    m_pRunWatch->stop();
}

void CSdrInterface::OnTickTimer()
{
    switch (m_TickState) {
    case TICK_CONNECT:
        SetSdrStatus(SDR_NOT_CONNECTED);
        ConnectTcp();
        m_TickState = TICK_WAIT_CONNECT;
        break;
    case TICK_WAIT_CONNECT:
        if (m_TcpState == TCP_CONNECTED) {
            SetSdrStatus(SDR_GETTING_INFO);
            SendInfoRequests();
            qDebug("First Connected Getting Info");
            m_TickState = TICK_WAIT_INFO;
        } else if (m_TcpState == TCP_CONNECTING) {
            qDebug("Wait for connect");
        } else {
            qDebug("Connect Failed");
            m_TickState = TICK_CONNECT;
        }
        break;
    case TICK_WAIT_INFO:
        if (m_TcpState != TCP_CONNECTED) {
            m_TickState = TICK_CONNECT;
            EndRun(RUN_LINK_LOST);
            qDebug("Get info fail");
        } else if (m_Status == SDR_GOT_INFO) {
            m_TickState = TICK_CONNECTED;
            SetSdrStatus(SDR_GOT_INFO);
            qDebug("Got info ok");
        }
        break;
    case TICK_CONNECTED:
        if (m_TcpState != TCP_CONNECTED) {
            m_TickState = TICK_CONNECT;
            // The run is lost with its link; the reconnection reads the device afresh.
            if (m_RunActive)
                qDebug("Prog link lost");
            EndRun(RUN_LINK_LOST);
            break;
        }
        switch (m_Status) {
        case SDR_GOT_INFO:
        case SDR_CONNECTED_IDLE:
        case SDR_PROG_FAILED:
            SendStatusPoll();
            SetSdrStatus(SDR_CONNECTED_IDLE);
            break;
        case SDR_PROG_DONE:
            // Dropping the link makes the device's new versions show: the information is read
            // again on the connection two ticks later.
            DisconnectTcp();
            SetSdrStatus(SDR_PROG_DONE);
            break;
        default:
            break;  // no polls while programming
        }
        break;
    default:
        break;
    }
}

void CSdrInterface::SendRequest(quint16 item)
{
    setU16(m_TxMsg, 0, TcpMsg::header(TypeRequest, RequestSize));
    setU16(m_TxMsg, OffItem, item);
    SendTcpMsg(m_TxMsg);
}

void CSdrInterface::SendRequest(quint16 item, quint8 param)
{
    setU16(m_TxMsg, 0, TcpMsg::header(TypeRequest, RequestParamSize));
    setU16(m_TxMsg, OffItem, item);
    m_TxMsg[OffParam] = param;
    SendTcpMsg(m_TxMsg);
}

void CSdrInterface::SendInfoRequests()
{
    SendRequest(ItemModelName);
    SendRequest(ItemProductId);
    SendRequest(ItemFlashInfo, TargetApp);
    SendRequest(ItemFlashInfo, TargetCfg);
    for (quint8 id : RequestedVersionIds)
        SendRequest(ItemVersion, id);
    // Asked last: its answer tells that every other answer has arrived.
    SendRequest(ItemSerialNum);
}

void CSdrInterface::SendStatusPoll()
{
    SendRequest(ItemStatus);
}

void CSdrInterface::SendProgControl(int target, int code)
{
    setU16(m_TxMsg, 0, TcpMsg::header(TypeProgControl, ProgControlSize));
    setU16(m_TxMsg, OffItem, ItemProgControl);
    m_TxMsg[OffCtlTarget] = quint8(target);
    m_TxMsg[OffCtlCode] = quint8(code);
    setU32(m_TxMsg, OffCtlProduct, m_ProductId);
    SendTcpMsg(m_TxMsg);
}

void CSdrInterface::SendProgEnd(int target)
{
    SendProgControl(target, CodeEnd);
}

void CSdrInterface::SendProgAbort(int target)
{
    SendProgControl(target, CodeAbort);
}

void CSdrInterface::StartAppProg(int appNumber)
{
    if (!CanStart()) {
        qDebug("App Prog refused");
        return Refuse(StartProblem());
    }
    m_ProgIndex = appNumber;
    // The readers keep the image inside the buffer; the clamp only keeps a stray value from reading past it.
    m_Total = m_pImage ? qMin<quint32>(m_pImage->m_MaxFileAdr + 1, CFirmwareImage::BufferSize) : 0;
    qDebug() << "App Prog" << appNumber << m_Total;
    m_Current = m_AppStartOffset;
    if (m_Total == 0) {
        qDebug("App Prog Abort");
        return Refuse(START_NO_IMAGE);
    }
    if (m_AppBankSize != SdrMsg::AppBankSize) {
        qDebug("App flashsize Error");
        return Refuse(START_BAD_GEOMETRY);
    }
    // A block size of 0 would never advance, and one above MaxBlockData does not fit the length field.
    if (m_AppBlockSize == 0 || m_AppBlockSize > quint32(MaxBlockData)) {
        qDebug("App blocksize Error %u", m_AppBlockSize);
        return Refuse(START_BAD_GEOMETRY);
    }
    BeginRun(PROG_APP, TargetApp);
}

void CSdrInterface::StartConfigProg(int cfgNumber)
{
    if (!CanStart()) {
        qDebug("Config Prog refused");
        return Refuse(StartProblem());
    }
    m_ProgIndex = cfgNumber - 1;
    m_Current = 0;
    m_Total = m_pImage ? qMin<quint32>(m_pImage->m_MaxFileAdr + 1, CFirmwareImage::BufferSize) : 0;
    qDebug() << "Config Prog" << cfgNumber - 1 << m_Total;
    if (m_Total == 0 || m_Total >= m_CfgSlotSize) {
        qDebug("Config Prog Abort");
        return Refuse(m_Total == 0 ? START_NO_IMAGE : START_IMAGE_TOO_LARGE);
    }
    if (m_CfgBlockSize == 0 || m_CfgBlockSize > quint32(MaxBlockData)) {
        qDebug("Config blocksize Error %u", m_CfgBlockSize);
        return Refuse(START_BAD_GEOMETRY);
    }
    BeginRun(PROG_CFG, TargetCfg);
}

bool CSdrInterface::SendNextBlock(int type, quint32 base, quint32 blockSize)
{
    if (m_Current >= m_Total)
        return false;
    // The device may report its geometry again at any time, mid-run or for the other flash than the
    // run was checked against: a block that would not fit one message is never built.
    if (blockSize == 0 || blockSize > quint32(MaxBlockData)) {
        qDebug("Block size Error %u", blockSize);
        return false;
    }
    const quint32 flashAdr = m_Current + base;
    if (type == TypeAppBlock)
        qDebug("flashAdr=0x%X", flashAdr);
    else
        qDebug("cAdr=0x%X", flashAdr);
    const quint32 n = qMin(blockSize, m_Total - m_Current);
    setU16(m_TxMsg, 0, TcpMsg::header(type, OffBlockData + int(n)));
    setU32(m_TxMsg, OffBlockAdr, flashAdr);
    std::memcpy(m_TxMsg + OffBlockData, m_pImage->Buffer() + m_Current, n);
    m_Current += n;
    SendTcpMsg(m_TxMsg);
    return true;
}

bool CSdrInterface::SendNextAppBlock()
{
    if (!m_pImage)
        return false;
    return SendNextBlock(TypeAppBlock, m_pImage->BankNumber() * m_AppBankSize, m_AppBlockSize);
}

bool CSdrInterface::SendNextConfigBlock()
{
    if (!m_pImage)
        return false;
    return SendNextBlock(TypeCfgBlock, quint32(m_ProgIndex) * m_CfgSlotSize, m_CfgBlockSize);
}

int CSdrInterface::Percent() const
{
    if (m_Total == 0)
        return 0;
    return int(100u - ((m_Total - m_Current) * 100u) / m_Total);
}

void CSdrInterface::ParseTcpMsg(quint8* pMsg)
{
    const int length = messageLength(pMsg);
    switch (TcpMsg::type(pMsg)) {
    case TypeAnswer:
        // A bare header carries no item code; what sits at its offsets belongs to the previous message.
        if (length > TcpMsg::HeaderSize)
            ParseAnswer(pMsg, length);
        break;
    case TypeUnsolicited:
        if (u16(pMsg, OffItem) == ItemStatus)
            qDebug("Unsolicited Status %d", pMsg[OffParam]);
        else
            qDebug("Unsolicited msg ??");
        break;
    case TypeRange:
        qDebug("Range msg");
        break;
    case TypeAck: {
        // Only a run past its ready answer waits for acknowledgements: one that a failed run gets late,
        // while the receiver erases for the next run, must not send a block before that run's ready answer.
        if ((m_ProgMode != PROG_APP && m_ProgMode != PROG_CFG) || m_Status != SDR_PROGRAMMING)
            break;
        const int target = m_ProgMode == PROG_APP ? TargetApp : TargetCfg;
        if (m_ProgMode == PROG_APP ? SendNextAppBlock() : SendNextConfigBlock()) {
            m_pRunWatch->start(m_AckTimeoutMs);
            emit PercentComplete(Percent());
        } else if (m_Current < m_Total) {
            // Blocks are left that cannot be sent: ending the run now would flash half an image.
            qDebug("Prog Error");
            SendProgAbort(target);
            FailRun(RUN_BLOCKS_LEFT);
        } else {
            if (m_RunActive)
                m_pRunWatch->start(m_AckTimeoutMs);
            SendProgEnd(target);
        }
        break;
    }
    default:
        break;
    }
}

void CSdrInterface::ParseAnswer(const quint8* pMsg, int length)
{
    const quint16 item = u16(pMsg, OffItem);
    switch (item) {
    case ItemModelName:
        m_ModelName = textAt(pMsg, OffParam, length);
        qDebug().noquote() << m_ModelName;
        break;
    case ItemSerialNum:
        m_SerialNum = textAt(pMsg, OffParam, length);
        qDebug().noquote() << m_SerialNum;
        SetSdrStatus(SDR_GOT_INFO);
        break;
    case ItemItem3:
        m_Item3Value = u16(pMsg, OffParam);
        break;
    case ItemVersion: {
        const int id = pMsg[OffParam];
        if (id < WideVersionIds)
            m_Versions.m_Wide[id] = u16(pMsg, OffVersion16);
        else if (id < VersionIds)
            m_Versions.m_Narrow[id - WideVersionIds] = pMsg[OffVersion8];
        break;
    }
    case ItemStatus:
    case ItemItem18:
        break;
    case ItemProductId:
        m_ProductId = u32(pMsg, OffParam);
        qDebug("Prod ID = 0x%X", m_ProductId);
        break;
    case ItemProgControl:
        ParseProgControl(pMsg);
        break;
    case ItemFlashInfo:
        ParseFlashInfo(pMsg);
        break;
    default:
        qDebug("??Msg %d", item);
        break;
    }
}

void CSdrInterface::ParseFlashInfo(const quint8* pMsg)
{
    if (!Models::byProductId(m_ProductId)) {
        qDebug("Unknown Device");
        return;
    }
    const quint32 v1 = u32(pMsg, OffGeom1);
    const quint32 v2 = u32(pMsg, OffGeom2);
    const quint32 v3 = u32(pMsg, OffGeom3);
    if (pMsg[OffParam] == TargetApp) {
        m_AppBankSize = v1;
        m_AppBlockSize = v2;
        m_AppStartOffset = v3;
        qDebug("AppFlash 0x%X  %d", v1, int(v2));
    } else {
        m_CfgFlashSize = v1;
        m_CfgBlockSize = v2;
        m_CfgSlotSize = v3;
        qDebug("ConfigFlash 0x%X  %d", v1, int(v2));
    }
}

void CSdrInterface::ParseProgControl(const quint8* pMsg)
{
    const int target = pMsg[OffCtlTarget];
    const int code = pMsg[OffCtlCode];
    if (code == CodeStartData) {
        qDebug("Start Prog");
        // A ready answer to a run that has already ended (timed out and aborted) must not start sending.
        if (!m_RunActive || m_Status == SDR_PROGRAMMING) {
            qDebug("Start Prog outside a run");
            return;
        }
        // The first block follows the target of the answer; later ones follow the programming mode.
        const bool sent = target == TargetApp ? SendNextAppBlock() : SendNextConfigBlock();
        if (sent) {
            m_pRunWatch->start(m_AckTimeoutMs);
            SetSdrStatus(SDR_PROGRAMMING);
        } else {
            qDebug("Prog Error");
            FailRun(m_Current < m_Total ? RUN_BLOCKS_LEFT : RUN_NOTHING_TO_SEND);
        }
    } else if (code == CodeEnd) {
        qDebug("ProgDone");
        emit PercentComplete(100);
        if (m_RunActive)
            m_LastResult = RUN_DONE;
        SetSdrStatus(SDR_PROG_DONE);
    } else if (code == CodeAbort) {
        if (target == TargetApp) {
            qDebug("uP ProgAbort");
            // The device's answer to our own abort arrives after the run has already failed.
            if (m_RunActive)
                FailRun(RUN_APP_ABORTED);
        } else {
            qDebug("Cfg ProgAbort");
            FailRun(RUN_CFG_ABORTED);
        }
    } else if (target == TargetApp && code == CodeErasedApp) {
        qDebug("Erased uP Flash");
    } else if (target == TargetApp && code == CodeErasedCfg) {
        qDebug("Erased Cfg Flash");
    }
}
