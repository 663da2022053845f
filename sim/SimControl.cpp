#include "SimControl.h"

#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>
#include <cctype>
#include <cstring>

// The emulator decodes and encodes the protocol with its own code, deliberately sharing nothing
// with the client: a device written from the client's helpers would agree with the client's bugs.
namespace {
constexpr int MaxMessage = 8194;  // bytes: a length field of 0
constexpr int MaxRecorded = 100000;

// Message types
constexpr int TControl = 0;     // host: programming control; device: answer
constexpr int TRequest = 1;     // host: item request; device: unsolicited item
constexpr int TAck = 3;         // device: block acknowledgement
constexpr int TAppBlock = 4;
constexpr int TCfgBlock = 5;

// Items
constexpr int IModel = 1;
constexpr int ISerial = 2;
constexpr int IVersion = 4;
constexpr int IStatus = 5;
constexpr int IProduct = 9;
constexpr int IControl = 0x300;
constexpr int IFlash = 0x302;

// Control codes
constexpr int CStart = 0;
constexpr int CReady = 1;
constexpr int CDone = 2;
constexpr int CAbort = 3;
constexpr int CErasedApp = 4;
constexpr int CErasedCfg = 5;

// Application image layout checked after a run
constexpr quint32 AppCrcStart = 0x4000;
constexpr quint32 AppChkLocAt = 0x4200;
constexpr quint32 AppVersionAt = 0x4208;  // 16-bit little-endian, hundredths

// Bitstream header: key character, big-endian length and the design-name field, which carries the
// UserID the way the vendor's tools write it ("Quillix_top_01.ncd;UserID=0x00000007")
constexpr int BitKeyAt = 0x0D;
constexpr int BitFieldAt = 0x10;
constexpr int BitFieldMax = 64;
constexpr char UserIdTag[] = "UserID=0x";

quint32 get16(const quint8* p) { return quint32(p[0]) | quint32(p[1]) << 8; }
quint32 get32(const quint8* p) { return get16(p) | get16(p + 2) << 16; }
void put16(quint8* p, quint32 v) { p[0] = quint8(v & 0xFF); p[1] = quint8((v >> 8) & 0xFF); }
void put32(quint8* p, quint32 v) { put16(p, v & 0xFFFF); put16(p + 2, v >> 16); }
void putHeader(quint8* p, int type, int length) { put16(p, quint32(type) << 13 | quint32(length)); }

// Numbers in JSON may be written as numbers or as strings such as "0x200000".
quint32 number(const QJsonValue& v, quint32 fallback)
{
    if (v.isDouble())
        return quint32(v.toDouble());
    if (v.isString()) {
        bool ok = false;
        const quint32 n = v.toString().toUInt(&ok, 0);
        return ok ? n : fallback;
    }
    return fallback;
}

const char* const kFailureNames[] = {"None", "DropAfterBlocks", "Stall", "AbortConfig",
                                     "UnknownProduct", "SlowAck", "Garbage", "DuplicateAck", "AckWithoutRun",
                                     "AbortApp", "NeverReady"};
const char* const kKeys[] = {"productId", "versions", "appBankSize", "appBlockSize", "appStartOffset",
                             "cfgFlashSize", "cfgBlockSize", "cfgSlotSize", "statusPeriodMs", "statusByte",
                             "failure", "failAfterBlocks", "slowAckMs", "garbageBytes", "failOnce", "eraseMs"};
} // namespace

SimControlConfig::SimControlConfig()
    : versions(VersionIds, 0)
{
    versions[0] = 105;  // boot 1.05
    versions[2] = 200;  // hardware 2.00
    versions[4] = 123;  // application 0
    versions[5] = 122;  // application 1
    versions[6] = 100;
    for (int id = 7; id <= 10; ++id)
        versions[id] = quint16(id - 6);  // configurations 1 to 4
}

quint32 SimControlConfig::reportedProductId() const
{
    if (failure == UnknownProduct)
        return ProductUnknown;
    if (productId != 0)
        return productId;
    const SimModel* m = SimModels::byName(model);
    return m ? m->productId : 0;
}

quint32 SimControlConfig::productIdFromJson(const QJsonValue& v)
{
    if (v.isString() && v.toString().size() == 4 && !v.toString().startsWith(QLatin1String("0x"))) {
        const QByteArray s = v.toString().toLatin1();
        return get32(reinterpret_cast<const quint8*>(s.constData()));
    }
    return number(v, 0);
}

SimControlConfig::Failure SimControlConfig::failureFromName(const QString& name, bool* ok)
{
    for (int i = 0; i < int(sizeof kFailureNames / sizeof kFailureNames[0]); ++i) {
        if (name == QLatin1String(kFailureNames[i])) {
            if (ok)
                *ok = true;
            return Failure(i);
        }
    }
    if (ok)
        *ok = false;
    return None;
}

SimControlConfig SimControlConfig::fromJson(const QJsonObject& o)
{
    SimControlConfig c;
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool known = false;
        for (const char* k : kKeys)
            known = known || it.key() == QLatin1String(k);
        if (!known)
            qWarning().noquote() << "SimControl: unknown key" << it.key();
    }
    c.productId = productIdFromJson(o.value(QLatin1String("productId")));
    const QJsonObject v = o.value(QLatin1String("versions")).toObject();
    for (auto it = v.begin(); it != v.end(); ++it) {
        bool ok = false;
        const int id = it.key().toInt(&ok);
        if (ok && id >= 0 && id < VersionIds)
            c.versions[id] = quint16(number(it.value(), c.versions[id]) & (id < 7 ? 0xFFFF : 0xFF));
    }
    c.appBankSize = number(o.value(QLatin1String("appBankSize")), c.appBankSize);
    c.appBlockSize = number(o.value(QLatin1String("appBlockSize")), c.appBlockSize);
    c.appStartOffset = number(o.value(QLatin1String("appStartOffset")), c.appStartOffset);
    c.cfgFlashSize = number(o.value(QLatin1String("cfgFlashSize")), c.cfgFlashSize);
    c.cfgBlockSize = number(o.value(QLatin1String("cfgBlockSize")), c.cfgBlockSize);
    c.cfgSlotSize = number(o.value(QLatin1String("cfgSlotSize")), c.cfgSlotSize);
    c.statusPeriodMs = int(number(o.value(QLatin1String("statusPeriodMs")), quint32(c.statusPeriodMs)));
    c.statusByte = quint8(number(o.value(QLatin1String("statusByte")), c.statusByte));
    if (o.contains(QLatin1String("failure"))) {
        bool ok = false;
        c.failure = failureFromName(o.value(QLatin1String("failure")).toString(), &ok);
        if (!ok)
            qWarning().noquote() << "SimControl: unknown failure" << o.value(QLatin1String("failure")).toString();
    }
    c.failAfterBlocks = int(number(o.value(QLatin1String("failAfterBlocks")), quint32(c.failAfterBlocks)));
    c.slowAckMs = int(number(o.value(QLatin1String("slowAckMs")), quint32(c.slowAckMs)));
    c.eraseMs = int(number(o.value(QLatin1String("eraseMs")), quint32(c.eraseMs)));
    c.garbageBytes = int(number(o.value(QLatin1String("garbageBytes")), quint32(c.garbageBytes)));
    c.failOnce = o.value(QLatin1String("failOnce")).toBool(c.failOnce);
    return c;
}

SimControl::SimControl(const SimControlConfig& config, QObject* parent)
    : QObject(parent)
    , m_Config(config)
{
    // Guard the flash arithmetic against configurations that make no sense.
    m_Config.appBankSize = qBound<quint32>(0x10000, m_Config.appBankSize, 0x1000000);
    m_Config.cfgSlotSize = qMax<quint32>(m_Config.cfgSlotSize, 0x100);
    m_Config.cfgFlashSize = qMax(m_Config.cfgFlashSize, m_Config.cfgSlotSize);
    m_AppFlash = QByteArray(int(AppBanks * m_Config.appBankSize), char(0xFF));
    m_CfgFlash = QByteArray(int(m_Config.cfgFlashSize), char(0xFF));
    for (int id = 0; id < SimControlConfig::VersionIds; ++id)
        m_Versions[id] = id < m_Config.versions.size() ? m_Config.versions[id] : 0;

    m_pServer = new QTcpServer(this);
    connect(m_pServer, &QTcpServer::newConnection, this, &SimControl::OnNewConnection);
    m_pStatusTimer = new QTimer(this);
    connect(m_pStatusTimer, &QTimer::timeout, this, &SimControl::OnStatusTimer);
}

SimControl::~SimControl()
{
    if (m_pConn)
        m_pConn->abort();
}

bool SimControl::listen(const QHostAddress& address, quint16 port)
{
    if (!m_pServer->listen(address, port)) {
        Note(QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(m_pServer->errorString()));
        return false;
    }
    Note(QStringLiteral("listening on %1:%2").arg(address.toString()).arg(m_pServer->serverPort()));
    return true;
}

quint16 SimControl::serverPort() const
{
    return m_pServer->serverPort();
}

QHostAddress SimControl::serverAddress() const
{
    return m_pServer->serverAddress();
}

void SimControl::close()
{
    m_pServer->close();
    if (m_pConn)
        m_pConn->abort();
}

QByteArray SimControl::appFlash(int bank) const
{
    if (bank < 0 || bank >= AppBanks)
        return QByteArray();
    return m_AppFlash.mid(int(bank * m_Config.appBankSize), int(m_Config.appBankSize));
}

QByteArray SimControl::cfgSlot(int slot) const
{
    return m_CfgFlash.mid(int(quint32(slot) * m_Config.cfgSlotSize), int(m_Config.cfgSlotSize));
}

quint16 SimControl::version(int id) const
{
    return id >= 0 && id < SimControlConfig::VersionIds ? m_Versions[id] : 0;
}

void SimControl::Note(const QString& line)
{
    const QString full = m_Config.serial + QLatin1String(": ") + line;
    qInfo().noquote() << full;
    if (m_Log.size() < MaxRecorded)
        m_Log << line;
    emit logLine(line);
}

bool SimControl::Strikes(SimControlConfig::Failure f, int blocks) const
{
    return m_FailureArmed && m_Config.failure == f && m_Config.failAfterBlocks == blocks;
}

void SimControl::Disarm()
{
    if (m_Config.failOnce)
        m_FailureArmed = false;
}

void SimControl::OnNewConnection()
{
    while (QTcpSocket* s = m_pServer->nextPendingConnection()) {
        // One client at a time, like the receiver: a new connection replaces the old one.
        if (m_pConn) {
            CutRun();
            m_pConn->disconnect(this);
            m_pConn->abort();
            m_pConn->deleteLater();
        }
        m_pConn = s;
        connect(s, &QTcpSocket::readyRead, this, &SimControl::OnReadyRead);
        connect(s, &QTcpSocket::disconnected, this, &SimControl::OnDisconnected);
        ++m_Connections;
        m_RxHave = 0;
        m_Stalled = false;
        m_RunTarget = -1;
        m_RunReady = false;
        Note(QStringLiteral("connection %1 from %2:%3").arg(m_Connections).arg(s->peerAddress().toString()).arg(s->peerPort()));
        if (Strikes(SimControlConfig::Stall, 0)) {
            Note(QStringLiteral("failure Stall: answering nothing on this connection"));
            m_Stalled = true;
            Disarm();
        }
        if (Strikes(SimControlConfig::Garbage, 0)) {
            SendGarbage();
            Disarm();
        }
        if (m_Config.failure == SimControlConfig::AckWithoutRun) {
            Note(QStringLiteral("failure AckWithoutRun: acknowledging a block never sent"));
            Acknowledge(m_Config.appStartOffset);
        }
        if (m_Config.statusPeriodMs > 0)
            m_pStatusTimer->start(m_Config.statusPeriodMs);
    }
}

void SimControl::OnDisconnected()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (s != m_pConn)
        return;
    Note(QStringLiteral("connection %1 closed").arg(m_Connections));
    CutRun();
    m_pStatusTimer->stop();
    m_pConn = nullptr;
    s->deleteLater();
}

void SimControl::CutRun()
{
    if (m_RunTarget >= 0) {
        Note(QStringLiteral("run cut after %1 blocks").arg(m_RunBlocks));
        ++m_RunsCut;
    }
    m_RunTarget = -1;
    m_RunReady = false;
}

void SimControl::OnReadyRead()
{
    // Reads exactly the header, then exactly the rest of the message, so each message is
    // handled from its own buffer however the stream was cut.
    while (m_pConn && m_pConn->bytesAvailable() > 0) {
        if (m_RxHave < 2) {
            const qint64 n = m_pConn->read(reinterpret_cast<char*>(m_Rx) + m_RxHave, 2 - m_RxHave);
            if (n <= 0)
                return;
            m_RxHave += int(n);
            if (m_RxHave < 2)
                continue;
            const int field = int(get16(m_Rx) & 0x1FFF);
            if (field == 1) {
                Note(QStringLiteral("bad length field 1; closing"));
                m_pConn->abort();
                return;
            }
            m_RxNeed = field == 0 ? MaxMessage : field;
        } else {
            const qint64 n = m_pConn->read(reinterpret_cast<char*>(m_Rx) + m_RxHave, m_RxNeed - m_RxHave);
            if (n <= 0)
                return;
            m_RxHave += int(n);
        }
        if (m_RxHave == m_RxNeed) {
            m_RxHave = 0;
            Handle(m_Rx, m_RxNeed);
        }
    }
}

void SimControl::Send(const quint8* m, int length)
{
    if (m_pConn && !m_Stalled)
        m_pConn->write(reinterpret_cast<const char*>(m), length);
}

void SimControl::SendGarbage()
{
    Note(QStringLiteral("failure Garbage: %1 bytes of noise").arg(m_Config.garbageBytes));
    QByteArray noise(m_Config.garbageBytes, '\0');
    for (char& c : noise) {
        m_Noise = m_Noise * 1103515245u + 12345u;
        c = char(m_Noise >> 16);
    }
    if (m_pConn)
        m_pConn->write(noise);
}

void SimControl::OnStatusTimer()
{
    quint8 m[5];
    putHeader(m, TRequest, 5);
    put16(m + 2, IStatus);
    m[4] = m_Config.statusByte;
    // The heartbeat runs on its own: a stalled device may still be alive, just no longer answering.
    if (m_pConn)
        m_pConn->write(reinterpret_cast<const char*>(m), sizeof m);
}

void SimControl::Handle(const quint8* m, int length)
{
    const int type = m[1] >> 5;
    if (m_Received.size() < MaxRecorded)
        m_Received << QByteArray(reinterpret_cast<const char*>(m), type == TAppBlock || type == TCfgBlock ? qMin(length, 6) : length);
    if (m_Stalled)
        return;
    switch (type) {
    case TRequest:
        HandleRequest(m, length);
        break;
    case TControl:
        HandleControl(m, length);
        break;
    case TAppBlock:
    case TCfgBlock:
        HandleBlock(m, length, type);
        break;
    default:
        Note(QStringLiteral("message type %1 ignored").arg(type));
        break;
    }
}

void SimControl::HandleRequest(const quint8* m, int length)
{
    if (length < 4) {
        Note(QStringLiteral("short request ignored"));
        return;
    }
    const int item = int(get16(m + 2));
    const int param = length >= 5 ? m[4] : -1;
    quint8 a[64];
    std::memset(a, 0, sizeof a);
    put16(a + 2, quint32(item));
    int n = 0;
    switch (item) {
    case IModel:
    case ISerial: {
        const QByteArray s = (item == IModel ? m_Config.model : m_Config.serial).toLatin1().left(40);
        std::memcpy(a + 4, s.constData(), size_t(s.size()));
        n = 4 + s.size() + 1;
        break;
    }
    case IProduct:
        put32(a + 4, m_Config.reportedProductId());
        n = 8;
        break;
    case IStatus:
        a[4] = m_Config.statusByte;
        n = 5;
        break;
    case IVersion:
        if (param < 0 || param >= SimControlConfig::VersionIds) {
            Note(QStringLiteral("version id %1 not known").arg(param));
            return;
        }
        a[4] = quint8(param);
        // Wide ids carry 16 bits at offsets 5-6; narrow ones a single byte at offset 6.
        if (param < 7)
            put16(a + 5, m_Versions[param]);
        else
            a[6] = quint8(m_Versions[param]);
        n = 7;
        break;
    case IFlash:
        if (param < 0) {
            Note(QStringLiteral("flash request without a flash number"));
            return;
        }
        a[4] = quint8(param);
        if (param == 0) {
            put32(a + 5, m_Config.appBankSize);
            put32(a + 9, m_Config.appBlockSize);
            put32(a + 13, m_Config.appStartOffset);
        } else {
            put32(a + 5, m_Config.cfgFlashSize);
            put32(a + 9, m_Config.cfgBlockSize);
            put32(a + 13, m_Config.cfgSlotSize);
        }
        n = 17;
        break;
    default:
        Note(QStringLiteral("item 0x%1 not served").arg(item, 4, 16, QLatin1Char('0')));
        return;
    }
    putHeader(a, TControl, n);
    Send(a, n);
}

void SimControl::HandleControl(const quint8* m, int length)
{
    if (length < 10 || get16(m + 2) != IControl) {
        Note(QStringLiteral("control message not understood (%1 bytes)").arg(length));
        return;
    }
    const int target = m[4] ? 1 : 0;
    const int code = m[5];
    const quint32 product = get32(m + 6);
    if (product != m_Config.reportedProductId()) {
        Note(QStringLiteral("control code %1 with product ID 0x%2 refused").arg(code).arg(product, 8, 16, QLatin1Char('0')));
        return;
    }
    quint8 a[6];
    putHeader(a, TControl, 6);
    put16(a + 2, IControl);
    a[4] = quint8(target);
    switch (code) {
    case CStart:
        m_RunTarget = target;
        m_RunReady = false;
        m_RunBlocks = 0;
        m_RunUnit = -1;
        m_Erased = 0;
        ++m_RunSerial;
        ++m_RunsStarted;
        Note(QStringLiteral("%1 run started").arg(target ? "configuration" : "application"));
        // Erase notices come with target 0 whatever the run: that is where the client reads them.
        a[4] = 0;
        a[5] = quint8(target ? CErasedCfg : CErasedApp);
        Send(a, 6);
        break;
    case CReady:
        if (m_RunTarget != target) {
            Note(QStringLiteral("code 1 without a start"));
            return;
        }
        if (Strikes(target ? SimControlConfig::AbortConfig : SimControlConfig::AbortApp, 0)) {
            Note(QStringLiteral("failure %1: refusing the run").arg(target ? "AbortConfig" : "AbortApp"));
            Disarm();
            m_RunTarget = -1;
            a[5] = CAbort;
            Send(a, 6);
            return;
        }
        if (m_Config.failure == SimControlConfig::NeverReady && m_FailureArmed) {
            Note(QStringLiteral("failure NeverReady: the erase never ends"));
            Disarm();
            return;
        }
        a[5] = CReady;
        if (m_Config.eraseMs > 0) {
            // A real flash takes its time to erase before it is ready for data; the run may be
            // aborted or its link lost meanwhile.
            QPointer<QTcpSocket> conn = m_pConn;
            const QByteArray ready(reinterpret_cast<const char*>(a), 6);
            const int run = m_RunSerial;
            QTimer::singleShot(m_Config.eraseMs, this, [this, conn, ready, run, target] {
                if (!conn || conn != m_pConn || run != m_RunSerial || m_RunTarget != target)
                    return;
                m_RunReady = true;
                Send(reinterpret_cast<const quint8*>(ready.constData()), ready.size());
            });
            break;
        }
        m_RunReady = true;
        Send(a, 6);
        break;
    case CDone: {
        if (m_RunTarget != target) {
            Note(QStringLiteral("code 2 without a run"));
            return;
        }
        bool ok = true;
        if (target == 0) {
            QString why;
            ok = m_RunUnit >= 0 && CheckApplication(m_RunUnit, &why);
            if (ok) {
                m_Versions[4 + m_RunUnit] = AppVersion(m_RunUnit);
                Note(QStringLiteral("application %1 checked, %2 blocks; version now %3").arg(m_RunUnit).arg(m_RunBlocks).arg(m_Versions[4 + m_RunUnit]));
            } else {
                Note(QStringLiteral("application check failed: %1").arg(m_RunUnit < 0 ? QStringLiteral("nothing written") : why));
            }
        } else if (m_RunUnit >= 0 && m_RunUnit < 4) {
            m_Versions[7 + m_RunUnit] = CfgVersion(m_RunUnit);
            Note(QStringLiteral("configuration %1 written, %2 blocks; version now %3").arg(m_RunUnit + 1).arg(m_RunBlocks).arg(m_Versions[7 + m_RunUnit]));
        } else {
            ok = false;
            Note(QStringLiteral("configuration run wrote no slot"));
        }
        m_RunTarget = -1;
        if (ok)
            ++m_RunsCompleted;
        a[5] = quint8(ok ? CDone : CAbort);
        Send(a, 6);
        emit runFinished(target, ok);
        break;
    }
    case CAbort:
        Note(QStringLiteral("run aborted by the host"));
        m_RunTarget = -1;
        m_RunReady = false;
        a[5] = CAbort;
        Send(a, 6);
        break;
    default:
        Note(QStringLiteral("control code %1 ignored").arg(code));
        break;
    }
}

void SimControl::HandleBlock(const quint8* m, int length, int type)
{
    const int target = type == TAppBlock ? 0 : 1;
    if (length >= 6 && m_RunTarget == target && !m_RunReady) {
        Note(QStringLiteral("protocol violation: data block before the ready answer"));
        ++m_Violations;
        return;
    }
    if (length < 6 || m_RunTarget != target) {
        Note(QStringLiteral("data block outside a run ignored"));
        return;
    }
    const quint32 address = get32(m + 2);
    const quint32 n = quint32(length - 6);
    QByteArray& flash = target == 0 ? m_AppFlash : m_CfgFlash;
    const quint32 unitSize = target == 0 ? m_Config.appBankSize : m_Config.cfgSlotSize;
    const quint32 blockSize = target == 0 ? m_Config.appBlockSize : m_Config.cfgBlockSize;
    if (n > blockSize || quint64(address) + n > quint64(flash.size())) {
        Note(QStringLiteral("block of %1 bytes at 0x%2 refused").arg(n).arg(address, 0, 16));
        return;
    }
    const int unit = int(address / unitSize);
    if (quint64(address % unitSize) + n > unitSize) {
        Note(QStringLiteral("block at 0x%1 crosses a bank or slot").arg(address, 0, 16));
        return;
    }
    // Erase each bank or slot the first time this run writes to it, as the receiver's loader does.
    if (!(m_Erased & (1u << unit))) {
        m_Erased |= 1u << unit;
        std::memset(flash.data() + quint64(unit) * unitSize, 0xFF, unitSize);
    }
    if (m_RunUnit < 0)
        m_RunUnit = unit;
    std::memcpy(flash.data() + address, m + 6, n);
    ++m_RunBlocks;
    ++m_BlocksWritten;

    if (Strikes(SimControlConfig::DropAfterBlocks, m_RunBlocks)) {
        Note(QStringLiteral("failure DropAfterBlocks: closing after %1 blocks").arg(m_RunBlocks));
        Disarm();
        m_pConn->abort();
        return;
    }
    if (Strikes(SimControlConfig::Stall, m_RunBlocks)) {
        Note(QStringLiteral("failure Stall: answering nothing after %1 blocks").arg(m_RunBlocks));
        Disarm();
        m_Stalled = true;
        return;
    }
    if (Strikes(target ? SimControlConfig::AbortConfig : SimControlConfig::AbortApp, m_RunBlocks)) {
        Note(QStringLiteral("failure %1: aborting after %2 blocks").arg(target ? "AbortConfig" : "AbortApp").arg(m_RunBlocks));
        Disarm();
        m_RunTarget = -1;
        quint8 a[6];
        putHeader(a, TControl, 6);
        put16(a + 2, IControl);
        a[4] = quint8(target);
        a[5] = CAbort;
        Send(a, 6);
        return;
    }
    if (Strikes(SimControlConfig::Garbage, m_RunBlocks)) {
        SendGarbage();
        Disarm();
    }
    if (m_Config.failure == SimControlConfig::SlowAck) {
        QPointer<QTcpSocket> conn = m_pConn;
        QTimer::singleShot(m_Config.slowAckMs, this, [this, conn, address] {
            if (conn && conn == m_pConn)
                Acknowledge(address);
        });
        return;
    }
    Acknowledge(address);
    if (Strikes(SimControlConfig::DuplicateAck, m_RunBlocks)) {
        Note(QStringLiteral("failure DuplicateAck: block %1 acknowledged twice").arg(m_RunBlocks));
        Disarm();
        Acknowledge(address);
    }
}

void SimControl::Acknowledge(quint32 address)
{
    quint8 a[6];
    putHeader(a, TAck, 6);
    put32(a + 2, address);
    Send(a, 6);
}

// CRC-32/MPEG-2 computed bit by bit: a different road from any table-driven implementation.
// Words are little-endian in flash and go in most significant byte first.
quint32 SimControl::ComputeCrc(const quint8* p, quint32 bytes) const
{
    quint32 crc = 0xFFFFFFFFu;
    for (quint32 w = 0; w + 4 <= bytes; w += 4) {
        for (int k = 3; k >= 0; --k) {
            crc ^= quint32(p[w + quint32(k)]) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

bool SimControl::CheckApplication(int bank, QString* why) const
{
    const quint8* base = reinterpret_cast<const quint8*>(m_AppFlash.constData()) + quint64(bank) * m_Config.appBankSize;
    const quint32 chkLoc = get32(base + AppChkLocAt);
    if (chkLoc <= AppChkLocAt || chkLoc % 4 != 0 || quint64(chkLoc) + 4 > m_Config.appBankSize) {
        *why = QStringLiteral("check location 0x%1 invalid").arg(chkLoc, 0, 16);
        return false;
    }
    const quint32 crc = ComputeCrc(base + AppCrcStart, chkLoc - AppCrcStart);
    const quint32 stored = get32(base + chkLoc);
    if (crc != stored) {
        *why = QStringLiteral("CRC 0x%1, image says 0x%2").arg(crc, 8, 16, QLatin1Char('0')).arg(stored, 8, 16, QLatin1Char('0'));
        return false;
    }
    return true;
}

quint16 SimControl::AppVersion(int bank) const
{
    // Whatever the image holds there is reported, never an invented version: 0xFFFF (655.35) where
    // the image left the flash erased.
    return quint16(get16(reinterpret_cast<const quint8*>(m_AppFlash.constData()) + quint64(bank) * m_Config.appBankSize + AppVersionAt));
}

quint8 SimControl::CfgVersion(int slot) const
{
    // A bitstream without a UserID reports the low byte of the one the vendor's tools leave unset, 0xFFFFFFFF.
    const QByteArray head = m_CfgFlash.mid(int(quint64(slot) * m_Config.cfgSlotSize), int(qMin<quint32>(m_Config.cfgSlotSize, BitFieldAt + BitFieldMax)));
    if (head.size() < BitFieldAt || head[BitKeyAt] != 'a')
        return 0xFF;
    const int length = quint8(head[BitKeyAt + 1]) << 8 | quint8(head[BitKeyAt + 2]);
    QByteArray field = head.mid(BitFieldAt, length);
    if (length > BitFieldMax || field.size() < length)
        return 0xFF;
    if (field.contains('\0'))
        field.truncate(field.indexOf('\0'));
    const int tag = field.indexOf(UserIdTag);
    if (tag < 0)
        return 0xFF;
    const int from = tag + int(sizeof UserIdTag) - 1;
    int to = from;
    while (to < field.size() && std::isxdigit(static_cast<unsigned char>(field[to])))
        ++to;
    bool ok = false;
    const quint32 userId = field.mid(from, to - from).toUInt(&ok, 16);
    return ok ? quint8(userId & 0xFF) : 0xFF;
}
