#include "FirmwareImage.h"
#include "SdrInterface.h"
#include "SimControl.h"
#include "Fixtures.h"
#include "TestLog.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Fixtures;

// The client against the emulated receiver over real sockets in the private network.
// Every run here waits for real 1-second ticks, so there are few of them and each checks a lot.
// Drops and stalls mid-run are in tst_hostile.

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
    void runEndings_data();
    void runEndings();
    void startRightAfterDone();

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
    QTest::addRow("configuration as large as a slot") << "None" << 0x200000u << 0x4000u << 0x1000u << 3
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

int controlCodes(const SimControl& sim, int code)
{
    int n = 0;
    for (const QByteArray& m : sim.received())
        n += m.size() >= 6 && m.startsWith(QByteArray::fromHex("0a000003")) && m.at(5) == code ? 1 : 0;
    return n;
}

void tst_SdrInterface::runEndings_data()
{
    // Bounds are shortened to seconds; the rows tell which wait each one belongs to.
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("eraseMs");      // how long the emulated receiver erases
    QTest::addColumn<int>("eraseBound");   // ms the client waits for the ready answer
    QTest::addColumn<int>("ackBound");     // ms the client waits for each acknowledgement
    QTest::addColumn<QString>("logLine");  // how the first run ends; empty: it completes
    QTest::addColumn<int>("aborts");       // abort requests the client sends
    QTest::addColumn<bool>("retry");       // the device takes a second run on the same link

    QTest::addRow("erase never finishes") << "NeverReady" << 0 << 1500 << 400 << "Prog Timeout" << 1 << true;
    QTest::addRow("erase longer than an ack, within its bound") << "None" << 1200 << 3000 << 400 << "" << 0 << true;
    QTest::addRow("acks stop, link kept alive") << "Stall" << 0 << 60000 << 1500 << "Prog Timeout" << 1 << false;
    QTest::addRow("device aborts application") << "AbortApp" << 0 << 60000 << 5000 << "uP ProgAbort" << 0 << true;
}

void tst_SdrInterface::runEndings()
{
    QFETCH(QString, failure);
    QFETCH(int, eraseMs);
    QFETCH(int, eraseBound);
    QFETCH(int, ackBound);
    QFETCH(QString, logLine);
    QFETCH(int, aborts);
    QFETCH(bool, retry);

    SimControlConfig cfg;
    cfg.failure = SimControlConfig::failureFromName(failure);
    cfg.failAfterBlocks = 3;
    cfg.eraseMs = eraseMs;
    cfg.statusPeriodMs = 300;  // keeps a silent device's link alive
    Rig rig(cfg);
    rig.sdr.SetRunTimeouts(eraseBound, ackBound);
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("ending.bin")), appImage(0x4000 + 8 * 1024, Qusd, 0), 0), 0);
    QVERIFY(rig.start());
    QSignalSpy active(&rig.sdr, &CSdrInterface::RunActiveChanged);
    rig.program(0);
    QVERIFY(rig.sdr.RunActive());

    if (!logLine.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_FAILED), eraseBound + 3000);
        QVERIFY(!rig.sdr.RunActive());
        QCOMPARE(active.count(), 2);
        QVERIFY2(m_Log.contains(logLine), qPrintable(logLine));
        QCOMPARE(controlCodes(rig.sim, 3), aborts);
        // The link stays up; the next tick is idle again and Start works.
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 2500);
        QCOMPARE(rig.sim.connectionCount(), 1);
        QVERIFY(rig.sdr.CanStart());
        if (!retry)
            return;
        rig.program(0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_DONE), 8000);
    QCOMPARE(rig.sim.runsCompleted(), 1);
    QCOMPARE(rig.sim.protocolViolations(), 0);
    QCOMPARE(controlCodes(rig.sim, 3), 0);  // counted since the retry
    const int n = int(rig.image.m_MaxFileAdr) + 1 - 0x4000;
    QCOMPARE(rig.sim.appFlash(0).mid(0x4000, n), QByteArray(reinterpret_cast<const char*>(rig.image.Buffer()) + 0x4000, n));
}

void tst_SdrInterface::startRightAfterDone()
{
    // Each "Program Finished OK" is followed by a drop of the link; a start in between is refused,
    // so the receiver never erases for a run that the reconnection would cut.
    Rig rig(SimControlConfig{});
    QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("again.bin")), appImage(0x4000 + 3000, Qusd, 1), 1), 0);
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
    QTRY_VERIFY_WITH_TIMEOUT(rig.sim.connectionCount() == 2 && rig.sdr.Status() == SDR_CONNECTED_IDLE, 10000);
    QCOMPARE(refusedStarts, 2);
    QCOMPARE(m_Log.count("App Prog refused"), 2);
    QCOMPARE(rig.sim.runsStarted(), 1);
    QCOMPARE(rig.sim.runsCut(), 0);
    QVERIFY(rig.sdr.CanStart());
}

QTEST_GUILESS_MAIN(tst_SdrInterface)
#include "tst_sdrinterface.moc"
