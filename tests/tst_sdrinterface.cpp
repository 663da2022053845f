#include "FirmwareImage.h"
#include "SdrInterface.h"
#include "SimControl.h"
#include "Fixtures.h"
#include "TestLog.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace Fixtures;

// The client against the emulated receiver over real sockets in the private network, the receiver
// behaving or not. Whatever it does, the client never reports a finished run that the receiver did not
// confirm, never writes past a buffer (the sanitizer build watches), and comes back: it reconnects,
// reads the device again, and the next run succeeds. Every run waits for real 1-second ticks, so
// there are few of them and each checks a lot.

namespace {
const QHostAddress kDevice(QStringLiteral("198.18.0.7"));

QList<int> ints(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toInt();
    return out;
}

/// An emulated receiver, an image and the client, with spies on the client's status and progress.
struct Rig {
    explicit Rig(const SimControlConfig& cfg) : sim(cfg) {}
    /// Serves the receiver and waits until the client is idle and the receiver has its first status poll.
    bool start()
    {
        if (!sim.listen(kDevice, 0))
            return false;
        sdr.m_IPAdr = kDevice;
        sdr.m_Port = sim.serverPort();
        return QTest::qWaitFor([&] { return ints(status).contains(SDR_CONNECTED_IDLE); }, 8000)
            && QTest::qWaitFor([&] { return sim.received().contains(QByteArray::fromHex("04200500")); }, 2000)
            && sdr.Status() == SDR_CONNECTED_IDLE;
    }
    /// Writes `content` and reads it as application `item` (0 or 1) or configuration `item` - 1 (2 to 5).
    int load(const QString& path, const QByteArray& content, int item)
    {
        if (!writeFile(path, content))
            return -1;
        return item < 2 ? image.ReadAppFile(path, Qusd, item) : image.ReadCfgFile(path, Qusd, item - 1);
    }
    /// Starts programming `item` with fresh records of the status and of what the receiver gets.
    void program(int item)
    {
        status.clear();
        sim.clearReceived();
        if (item < 2)
            sdr.StartAppProg(item);
        else
            sdr.StartConfigProg(item - 1);
    }
    SimControl sim;
    CFirmwareImage image;
    CSdrInterface sdr{nullptr, &image};
    QSignalSpy status{&sdr, &CSdrInterface::NewSdrStatus};
    QSignalSpy percent{&sdr, &CSdrInterface::PercentComplete};
};

const QList<int> kDoneThenReread = {SDR_PROGRAMMING, SDR_PROG_DONE, SDR_PROG_DONE, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO};
} // namespace

class tst_SdrInterface : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_Dir.isValid()); }
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }
    void informationRequests();
    void applicationRun();
    void configurationRun();
    void refusals_data();
    void refusals();
    void failures_data();
    void failures();
    void startRightAfterDone();
    void firstConnectionRefused();
    void bytesMidRun_data();
    void bytesMidRun();
    void lengthFieldOne();

private:
    QTemporaryDir m_Dir;
    TestLog m_Log;
};

void tst_SdrInterface::informationRequests()
{
    SimControlConfig cfg;
    cfg.serial = QStringLiteral("QR123456");
    cfg.versions[0] = 0x1234;
    cfg.versions[7] = 0x56;
    Rig rig(cfg);
    QVERIFY(rig.start());

    // The 14 information requests in order, then the first status poll.
    QList<QByteArray> expected;
    for (const QByteArray& hex : QByteArray("04200100 04200900 0520020300 0520020301 0520040000 0520040002 0520040004 0520040005 "
                                            "0520040006 0520040007 0520040008 0520040009 052004000a 04200200 04200500").split(' '))
        expected << QByteArray::fromHex(hex);
    QCOMPARE(rig.sim.received().mid(0, 15), expected);

    QCOMPARE(ints(rig.status), (QList<int>{SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO, SDR_GOT_INFO, SDR_CONNECTED_IDLE}));
    QCOMPARE(rig.sdr.m_ModelName, QStringLiteral("Quillrad"));
    QCOMPARE(rig.sdr.m_SerialNum, QStringLiteral("QR123456"));
    QCOMPARE(rig.sdr.m_ProductId, Qusd);
    const SdrVersions& v = rig.sdr.m_Versions;
    QCOMPARE((QList<quint16>{v[0], v[2], v[4], v[7], v[10]}), (QList<quint16>{0x1234, 200, 123, 0x56, 4}));
    for (const char* line : {"Prod ID = 0x44535551", "AppFlash 0x200000  1024", "ConfigFlash 0x200000  1024"})
        QVERIFY2(m_Log.contains(QLatin1String(line)), line);
}

void tst_SdrInterface::applicationRun()
{
    SimControlConfig cfg;
    cfg.appBlockSize = 256;
    Rig rig(cfg);
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("app1.bin")), appImage(3000, Qusd, 1), 1), 0);
    QCOMPARE(rig.image.m_MaxFileAdr, 0x4BBCu);
    QVERIFY(rig.start());
    QCOMPARE(rig.sdr.m_Versions[5], quint16(122));

    rig.program(1);
    QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_DONE), 5000);

    const QList<QByteArray> got = rig.sim.received();
    QVERIFY(got.size() >= 3);
    QCOMPARE(got[0], QByteArray::fromHex("0a00000300005155 5344"));
    QCOMPARE(got[1], QByteArray::fromHex("0a00000300015155 5344"));
    QCOMPARE(got[2], QByteArray::fromHex("0681 00402000"));  // 256 data bytes for 0x00204000
    QCOMPARE(rig.sim.blocksWritten(), 12);
    QCOMPARE(ints(rig.percent), (QList<int>{0, 88, 89, 90, 92, 93, 94, 96, 97, 98, 100, 100, 100}));

    // The bank holds the image from the start offset through m_MaxFileAdr, and is erased elsewhere.
    const int maxAdr = int(rig.image.m_MaxFileAdr);
    const QByteArray bank = rig.sim.appFlash(1);
    QCOMPARE(bank.mid(0x4000, maxAdr - 0x4000 + 1), QByteArray(reinterpret_cast<const char*>(rig.image.Buffer()) + 0x4000, maxAdr - 0x4000 + 1));
    QCOMPARE(bank.left(0x4000), QByteArray(0x4000, char(0xFF)));
    QCOMPARE(bank.mid(maxAdr + 1, 64), QByteArray(64, char(0xFF)));
    QCOMPARE(rig.sim.appFlash(0), QByteArray(0x200000, char(0xFF)));

    // Done is reported twice, then the link is dropped and the information read anew.
    QTRY_COMPARE_WITH_TIMEOUT(ints(rig.status).size(), 6, 6000);
    QCOMPARE(ints(rig.status), kDoneThenReread);
    QCOMPARE(rig.sim.connectionCount(), 2);
    QCOMPARE(rig.sdr.m_Versions[5], quint16(123));
    QCOMPARE(rig.sdr.m_Versions[4], quint16(123));
    for (const char* line : {"Start Prog", "Erased uP Flash", "ProgDone", "flashAdr=0x204000"})
        QVERIFY2(m_Log.contains(QLatin1String(line)), line);
}

void tst_SdrInterface::configurationRun()
{
    Rig rig(SimControlConfig{});
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("cfg3.bit")), bitFile("Quillrad_top_03.ncd", 5000), 4), 0);
    QCOMPARE(rig.image.m_MaxFileAdr, 5000u);
    QVERIFY(rig.start());
    QCOMPARE(rig.sdr.m_Versions[9], quint16(3));

    rig.program(4);
    QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_DONE), 5000);

    const QList<QByteArray> got = rig.sim.received();
    QVERIFY(got.size() >= 8);
    QCOMPARE(got[0], QByteArray::fromHex("0a00000301005155 5344"));
    QCOMPARE(got[1], QByteArray::fromHex("0a00000301015155 5344"));
    QCOMPARE(got[2], QByteArray::fromHex("06a4 00001000"));  // 1024 data bytes for slot 2
    QCOMPARE(got[6], QByteArray::fromHex("8fa3 00101000"));  // the last 905 bytes
    QCOMPARE(got[7], QByteArray::fromHex("0a00000301025155 5344"));
    QCOMPARE(ints(rig.percent), (QList<int>{0, 41, 62, 82, 100, 100}));

    const QByteArray slot = rig.sim.cfgSlot(2);
    QCOMPARE(slot.left(5001), QByteArray(reinterpret_cast<const char*>(rig.image.Buffer()), 5001));
    QCOMPARE(slot.mid(5001, 64), QByteArray(64, char(0xFF)));
    QCOMPARE(rig.sim.cfgSlot(1), QByteArray(0x80000, char(0xFF)));

    QTRY_COMPARE_WITH_TIMEOUT(ints(rig.status).size(), 6, 6000);
    QCOMPARE(ints(rig.status), kDoneThenReread);
    QCOMPARE(rig.sdr.m_Versions[9], quint16(4));
    QCOMPARE(rig.sdr.m_Versions[8], quint16(2));
}

void tst_SdrInterface::refusals_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<quint32>("bankSize");
    QTest::addColumn<quint32>("startOffset");
    QTest::addColumn<quint32>("slotSize");
    QTest::addColumn<int>("item");  // 0 or 1 application, 2 to 5 configurations 1 to 4
    QTest::addColumn<QStringList>("logLines");
    QTest::addColumn<int>("finalStatus");  // -1: the run never starts
    QTest::addColumn<int>("controlMessages");

    QTest::addRow("nothing after the start offset") << "None" << 0x200000u << 0x10000u << 0x80000u << 0
                                                    << QStringList{"Start Prog", "Prog Error"} << int(SDR_PROG_FAILED) << 2;
    QTest::addRow("configuration as large as a slot") << "None" << 0x200000u << 0x4000u << 0x1001u << 3
                                                      << QStringList{"Config Prog Abort"} << -1 << 0;
    QTest::addRow("device aborts configuration") << "AbortConfig" << 0x200000u << 0x4000u << 0x80000u << 3
                                                 << QStringList{"Erased Cfg Flash", "Cfg ProgAbort"} << int(SDR_PROG_FAILED) << 2;
    QTest::addRow("unknown product") << "UnknownProduct" << 0x200000u << 0x4000u << 0x80000u << 0
                                     << QStringList{"Prod ID = 0x4E4B4E55", "Unknown Device", "App flashsize Error"} << -1 << 0;
    QTest::addRow("bank size") << "None" << 0x100000u << 0x4000u << 0x80000u << 1
                               << QStringList{"App flashsize Error"} << -1 << 0;
}

void tst_SdrInterface::refusals()
{
    QFETCH(QString, failure);
    QFETCH(quint32, bankSize);
    QFETCH(quint32, startOffset);
    QFETCH(quint32, slotSize);
    QFETCH(int, item);
    QFETCH(QStringList, logLines);
    QFETCH(int, finalStatus);
    QFETCH(int, controlMessages);

    SimControlConfig cfg;
    cfg.failure = SimControlConfig::failureFromName(failure);
    cfg.appBankSize = bankSize;
    cfg.appStartOffset = startOffset;
    cfg.cfgSlotSize = slotSize;
    Rig rig(cfg);
    const QString path = m_Dir.filePath(QStringLiteral("refusal.%1").arg(item < 2 ? "bin" : "bit"));
    QCOMPARE(rig.load(path, item < 2 ? appImage(1000, Qusd, quint8(item)) : bitFile("Quillrad_0" + QByteArray::number(item - 1) + ".ncd"), item), 0);
    QVERIFY(rig.start());
    rig.program(item);
    if (finalStatus >= 0) {
        QTRY_VERIFY_WITH_TIMEOUT(!rig.status.isEmpty(), 5000);
        QCOMPARE(ints(rig.status), QList<int>{finalStatus});
        // The next tick turns the failure back into idle and polls.
        QTRY_COMPARE_WITH_TIMEOUT(ints(rig.status), (QList<int>{finalStatus, SDR_CONNECTED_IDLE}), 3000);
    } else {
        QVERIFY(rig.status.isEmpty());
        QVERIFY(rig.percent.isEmpty());
    }
    for (const QString& line : logLines)
        QVERIFY2(m_Log.contains(line), qPrintable(line));
    int control = 0;
    for (const QByteArray& m : rig.sim.received())
        control += (quint8(m.at(1)) >> 5) == 0 ? 1 : 0;
    QCOMPARE(control, controlMessages);
    QCOMPARE(rig.sim.blocksWritten(), 0);
}

/// Programming control commands with `code` for `target` that the receiver got.
int controlCodes(const SimControl& sim, int target, int code)
{
    const QByteArray head = QByteArray::fromHex("0a000003") + char(target) + char(code);
    int n = 0;
    for (const QByteArray& m : sim.received())
        n += m.startsWith(head);
    return n;
}

void tst_SdrInterface::failures_data()
{
    // Bounds are shortened to seconds where a row is about them, and kept out of the way elsewhere.
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("afterBlocks");
    QTest::addColumn<bool>("config");
    QTest::addColumn<int>("eraseMs");      // how long the emulated receiver erases
    QTest::addColumn<int>("eraseBound");   // ms the client waits for the ready answer
    QTest::addColumn<int>("ackBound");     // ms the client waits for each acknowledgement
    QTest::addColumn<QString>("ending");   // the first run: "done", "link lost", or the log line of its failure
    QTest::addColumn<int>("aborts");       // abort requests the client sends
    QTest::addColumn<bool>("retry");       // the device takes a second run

    const int off = 60000;
    QTest::addRow("drop after the last block") << "DropAfterBlocks" << 8 << false << 0 << off << off << "link lost" << 0 << true;
    QTest::addRow("configuration: drop mid-run") << "DropAfterBlocks" << 4 << true << 0 << off << off << "link lost" << 0 << true;
    QTest::addRow("garbage mid-run") << "Garbage" << 5 << false << 0 << off << off << "link lost" << 0 << true;
    QTest::addRow("acks stop, link kept alive") << "Stall" << 3 << false << 0 << off << 1500 << "Prog Timeout" << 1 << false;
    QTest::addRow("erase never finishes") << "NeverReady" << 0 << false << 0 << 1500 << 400 << "Prog Timeout" << 1 << true;
    QTest::addRow("erase longer than an ack, within its bound") << "None" << 0 << false << 1200 << 3000 << 400 << "done" << 0 << false;
    QTest::addRow("device aborts configuration") << "AbortConfig" << 3 << true << 0 << off << off << "Cfg ProgAbort" << 0 << true;
    QTest::addRow("device aborts application") << "AbortApp" << 3 << false << 0 << off << off << "uP ProgAbort" << 0 << true;
    QTest::addRow("slow acknowledgements, each within its bound") << "SlowAck" << 0 << false << 0 << off << 1000 << "done" << 0 << false;
    QTest::addRow("duplicate acknowledgement") << "DuplicateAck" << 4 << false << 0 << off << off << "done" << 0 << false;
    QTest::addRow("acknowledgement before any run") << "AckWithoutRun" << 0 << false << 0 << off << off << "done" << 0 << false;
}

void tst_SdrInterface::failures()
{
    QFETCH(QString, failure);
    QFETCH(int, afterBlocks);
    QFETCH(bool, config);
    QFETCH(int, eraseMs);
    QFETCH(int, eraseBound);
    QFETCH(int, ackBound);
    QFETCH(QString, ending);
    QFETCH(int, aborts);
    QFETCH(bool, retry);

    SimControlConfig cfg;
    cfg.failure = SimControlConfig::failureFromName(failure);
    cfg.failAfterBlocks = afterBlocks;
    cfg.eraseMs = eraseMs;
    cfg.slowAckMs = 250;  // eight of them outlast one acknowledgement bound
    // Unsolicited status keeps a receiver that stops acknowledging alive, except where its silence is the point.
    cfg.statusPeriodMs = ending == "link lost" ? 0 : 300;
    Rig rig(cfg);
    rig.sdr.SetRunTimeouts(eraseBound, ackBound);
    const int item = config ? 2 : 0;
    QCOMPARE(rig.load(m_Dir.filePath(config ? "fail.bit" : "fail.bin"),
                      config ? bitFile("Quillrad_top_01.ncd", 9000) : appImage(8 * 1024 - 16, Qusd, 0), item), 0);
    // "Program Finished OK" only ever follows a run that the receiver checked and confirmed.
    int unconfirmedDone = 0;
    connect(&rig.sdr, &CSdrInterface::NewSdrStatus, this, [&](eSdrStatus s) {
        unconfirmedDone += s == SDR_PROG_DONE && rig.sim.runsCompleted() == 0;
    });
    QVERIFY(rig.start());
    if (failure == "AckWithoutRun")  // nothing but requests may answer an acknowledgement that ends no block
        for (const QByteArray& m : rig.sim.received())
            QCOMPARE(quint8(m[1]) >> 5, 1);
    QSignalSpy active(&rig.sdr, &CSdrInterface::RunActiveChanged);
    rig.program(item);
    QVERIFY(rig.sdr.RunActive());

    if (ending == "link lost") {
        // Abandoned without a failure status, then connected and read anew.
        QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_GOT_INFO), 12000);
        const QList<int> st = ints(rig.status);
        QVERIFY(!st.contains(SDR_PROG_FAILED) && !st.contains(SDR_PROG_DONE));
        QCOMPARE(st.mid(st.indexOf(SDR_NOT_CONNECTED), 3), (QList<int>{SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
        QVERIFY(!rig.sdr.RunActive());
        // Silence, and a stream the framer has lost its place in, end by supervision, once.
        QCOMPARE(m_Log.count("TCP_Connect_Timeout"), failure == "DropAfterBlocks" ? 0 : 1);
        QCOMPARE(rig.sim.runsCut(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 3000);
        rig.program(item);
    } else if (ending != "done") {
        QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_FAILED), eraseBound + 3000);
        QVERIFY(!rig.sdr.RunActive());
        QCOMPARE(active.count(), 2);
        QVERIFY2(m_Log.contains(ending), qPrintable(ending));
        QCOMPARE(controlCodes(rig.sim, config, 3), aborts);
        // The link stays up; the next tick is idle again and Start works.
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 2500);
        QCOMPARE(rig.sim.connectionCount(), 1);
        QVERIFY(rig.sdr.CanStart());
        if (!retry)
            return;
        rig.program(item);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_DONE), 10000);
    QCOMPARE(unconfirmedDone, 0);
    QCOMPARE(rig.sim.runsCompleted(), 1);
    QCOMPARE(rig.sim.protocolViolations(), 0);
    QCOMPARE(controlCodes(rig.sim, config, 3), 0);  // counted since the last start
    const int first = config ? 0 : 0x4000;
    const int n = int(rig.image.m_MaxFileAdr) + 1 - first;
    QCOMPARE((config ? rig.sim.cfgSlot(0) : rig.sim.appFlash(0)).mid(first, n),
             QByteArray(reinterpret_cast<const char*>(rig.image.Buffer()) + first, n));
    // After the run it reads the device again: a fresh connection and fresh information.
    const int connections = rig.sim.connectionCount();
    QTRY_VERIFY_WITH_TIMEOUT(rig.sim.connectionCount() > connections && rig.sdr.Status() == SDR_CONNECTED_IDLE, 10000);
}

void tst_SdrInterface::startRightAfterDone()
{
    // Each "Program Finished OK" is followed by a drop of the link; a start in between is refused,
    // so the receiver never erases for a run that the reconnection would cut.
    Rig rig(SimControlConfig{});
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("again.bin")), appImage(0x4000 + 3000, Qusd, 1), 1), 0);
    QVERIFY(!rig.sdr.CanStart());
    rig.program(1);  // before the link is up
    QVERIFY(rig.start());
    int refusedStarts = 0;
    connect(&rig.sdr, &CSdrInterface::NewSdrStatus, this, [&](eSdrStatus s) {
        if (s == SDR_PROG_DONE) {
            QVERIFY(!rig.sdr.CanStart());
            rig.sdr.StartAppProg(1);
            ++refusedStarts;
        }
    });
    rig.program(1);
    rig.sdr.StartAppProg(1);  // while the run is under way
    QTRY_VERIFY_WITH_TIMEOUT(rig.sim.connectionCount() == 2 && rig.sdr.Status() == SDR_CONNECTED_IDLE, 10000);
    QCOMPARE(refusedStarts, 2);
    QCOMPARE(m_Log.count("App Prog refused"), 4);
    QCOMPARE(rig.sim.runsStarted(), 1);
    QCOMPARE(rig.sim.runsCut(), 0);
    QVERIFY(rig.sdr.CanStart());
}

void tst_SdrInterface::firstConnectionRefused()
{
    // Nobody listens at first: the attempt fails, and the next tick tries again.
    Rig rig(SimControlConfig{});
    rig.sdr.m_IPAdr = kDevice;
    rig.sdr.m_Port = 1;
    QTRY_VERIFY_WITH_TIMEOUT(m_Log.contains("Connect Failed"), 4000);
    QVERIFY(rig.start());
    QCOMPARE(rig.sim.connectionCount(), 1);
}

void tst_SdrInterface::bytesMidRun_data()
{
    // What the device sends right after the start commands, as raw bytes fed to the framer.
    QTest::addColumn<QByteArray>("midRun");
    QTest::addColumn<QString>("logLine");
    const QByteArray ack = QByteArray::fromHex("0660") + QByteArray(4, '\0');
    const QByteArray startData = QByteArray::fromHex("060000030001");
    // Application geometry again, block size 9000: more than one message can carry.
    QTest::addRow("application block size too large")
        << startData + QByteArray::fromHex("1100020300 00002000 28230000 00400000") + ack << "Block size Error 9000";
    QTest::addRow("application block size 0")
        << startData + QByteArray::fromHex("1100020300 00002000 00000000 00400000") + ack << "Block size Error 0";
    // The device answers "start" for the configuration flash, whose geometry was never checked.
    QTest::addRow("start for the other flash")
        << QByteArray::fromHex("1100020301 00002000 28230000 00000800 060000030101") << "Block size Error 9000";
}

void tst_SdrInterface::bytesMidRun()
{
    QFETCH(QByteArray, midRun);
    QFETCH(QString, logLine);
    Rig rig(SimControlConfig{});
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("mid.bin")), appImage(0x4000 + 3000, Qusd, 0), 0), 0);
    QVERIFY(rig.start());
    rig.program(0);
    QCOMPARE(rig.percent.count(), 1);
    rig.sdr.FrameBytes(reinterpret_cast<const quint8*>(midRun.constData()), midRun.size());
    QVERIFY2(m_Log.contains(logLine), qPrintable(m_Log.lines().join('|')));
    // Half an image is never ended as if it were whole: the run fails.
    QCOMPARE(ints(rig.status).last(), int(SDR_PROG_FAILED));
    QVERIFY(!ints(rig.status).contains(SDR_PROG_DONE));
    QVERIFY(!rig.sdr.RunActive());
}

void tst_SdrInterface::lengthFieldOne()
{
    // A header claiming one byte, then noise, then a real answer: the framer takes one more byte
    // for the bad message and finds the next one intact. Geometry before any product ID is refused.
    QTcpServer server;
    QVERIFY2(server.listen(kDevice, 0), qPrintable(server.errorString()));
    CSdrInterface sdr(nullptr, nullptr);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = server.serverPort();
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 5000);
    QTcpSocket* peer = server.nextPendingConnection();
    peer->write(QByteArray::fromHex("1100020300 00002000 00040000 00400000 01007f 0e000200") + "QR999999" + QByteArray(2, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(sdr.m_SerialNum, QStringLiteral("QR999999"), 5000);
    QCOMPARE(int(sdr.Status()), int(SDR_GOT_INFO));
    QVERIFY(m_Log.contains("Unknown Device"));
    QVERIFY(!m_Log.contains("AppFlash 0x200000  1024"));
    // A ready answer with no run of ours (one that timed out and was aborted) starts nothing.
    peer->write(QByteArray::fromHex("060000030001"));
    QTRY_VERIFY_WITH_TIMEOUT(m_Log.contains("Start Prog outside a run"), 3000);
    QVERIFY(!m_Log.contains("Prog Error") && sdr.Status() != SDR_PROGRAMMING && sdr.Status() != SDR_PROG_FAILED);
}

QTEST_GUILESS_MAIN(tst_SdrInterface)
#include "tst_sdrinterface.moc"
