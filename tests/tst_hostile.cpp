#include "FirmwareImage.h"
#include "SdrInterface.h"
#include "SimControl.h"
#include "Fixtures.h"
#include "TestLog.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// Receivers that misbehave over real sockets. Whatever they do, the client never reports a finished
// run that the receiver did not confirm, never writes past a buffer (the sanitizer build watches),
// and comes back: it reconnects, reads the device again, and the next run succeeds.
class tst_Hostile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failures_data();
    void failures();
    void ackWithoutRun();
    void lengthFieldOne();
    void geometryChangesMidRun_data();
    void geometryChangesMidRun();

private:
    enum Outcome { Done, Recovered, TimedOut };
    /// Starts one run and waits until it finishes or the client is idle again after a failure.
    Outcome runOnce(CSdrInterface& sdr, bool config, QList<int>* statuses);
    bool waitIdle(CSdrInterface& sdr);

    QTemporaryDir m_Dir;
    TestLog m_Log;
    CFirmwareImage m_App;
    CFirmwareImage m_Cfg;
};

namespace {
const QHostAddress kDevice(QStringLiteral("198.18.0.11"));
constexpr int kAppBytes = 16000;  ///< 16 blocks of 1024 from the start offset, CRC and fill byte included
constexpr int kAppBlocks = 16;
} // namespace

void tst_Hostile::initTestCase()
{
    using namespace Fixtures;
    QVERIFY(m_Dir.isValid());
    QVERIFY(writeFile(m_Dir.filePath("app.bin"), appImage(kAppBytes, Qusd, 0)));
    QCOMPARE(m_App.ReadAppFile(m_Dir.filePath("app.bin"), Qusd, 0), 0);
    QVERIFY(writeFile(m_Dir.filePath("cfg.bit"), bitFile("Quillrad_top_01.ncd", 9000)));
    QCOMPARE(m_Cfg.ReadCfgFile(m_Dir.filePath("cfg.bit"), Qusd, 1), 0);
}

void tst_Hostile::init() { m_Log.start(); }
void tst_Hostile::cleanup() { m_Log.stop(); }

bool tst_Hostile::waitIdle(CSdrInterface& sdr)
{
    return QTest::qWaitFor([&] { return sdr.Status() == SDR_CONNECTED_IDLE; }, 10000);
}

tst_Hostile::Outcome tst_Hostile::runOnce(CSdrInterface& sdr, bool config, QList<int>* statuses)
{
    QSignalSpy spy(&sdr, &CSdrInterface::NewSdrStatus);
    config ? sdr.StartConfigProg(1) : sdr.StartAppProg(0);
    bool left = false;  // the run has begun, or has already failed
    Outcome out = TimedOut;
    (void)QTest::qWaitFor([&] {
        for (; !spy.isEmpty(); spy.removeFirst()) {
            const int s = spy.first().at(0).toInt();
            statuses->append(s);
            if (s == SDR_PROG_DONE) {
                out = Done;
                return true;
            }
            if (s == SDR_PROGRAMMING || s == SDR_PROG_FAILED || s == SDR_NOT_CONNECTED)
                left = true;
            else if (s == SDR_CONNECTED_IDLE && left) {
                out = Recovered;
                return true;
            }
        }
        return false;
    }, 20000);
    return out;
}

void tst_Hostile::failures_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("afterBlocks");
    QTest::addColumn<bool>("config");
    QTest::addColumn<bool>("firstRunFails");
    QTest::addColumn<bool>("linkLost");  // the failed run ends with the link down and read anew

    using C = SimControlConfig;
    QTest::addRow("drop after the first block") << int(C::DropAfterBlocks) << 1 << false << true << true;
    QTest::addRow("drop after a middle block") << int(C::DropAfterBlocks) << 8 << false << true << true;
    QTest::addRow("drop after the last block") << int(C::DropAfterBlocks) << kAppBlocks << false << true << true;
    QTest::addRow("configuration: drop mid-run") << int(C::DropAfterBlocks) << 4 << true << true << true;
    QTest::addRow("stops answering mid-run") << int(C::Stall) << 6 << false << true << true;
    QTest::addRow("configuration abort") << int(C::AbortConfig) << 3 << true << true << false;
    QTest::addRow("garbage mid-run") << int(C::Garbage) << 5 << false << true << true;
    QTest::addRow("duplicate acknowledgement") << int(C::DuplicateAck) << 4 << false << false << false;
    QTest::addRow("slow acknowledgements") << int(C::SlowAck) << 0 << false << false << false;
}

void tst_Hostile::failures()
{
    QFETCH(int, failure);
    QFETCH(int, afterBlocks);
    QFETCH(bool, config);
    QFETCH(bool, firstRunFails);
    QFETCH(bool, linkLost);

    SimControlConfig cfg;
    cfg.failure = SimControlConfig::Failure(failure);
    cfg.failAfterBlocks = afterBlocks;
    cfg.slowAckMs = 20;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    CFirmwareImage& image = config ? m_Cfg : m_App;
    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    // The link's own supervision is what these rows are about; the run's bounds are tst_sdrinterface's.
    sdr.SetRunTimeouts(60000, 60000);
    // "Program Finished OK" only ever follows a run that the receiver checked and confirmed.
    int unconfirmedDone = 0;
    connect(&sdr, &CSdrInterface::NewSdrStatus, this, [&](eSdrStatus s) {
        if (s == SDR_PROG_DONE && sim.runsCompleted() == 0)
            ++unconfirmedDone;
    });
    QVERIFY(waitIdle(sdr));

    QList<int> statuses;
    const Outcome first = runOnce(sdr, config, &statuses);
    QVERIFY2(first != TimedOut, qPrintable(sim.log().join('\n')));
    QCOMPARE(first == Recovered, firstRunFails);
    QCOMPARE(statuses.contains(SDR_PROG_FAILED), failure == SimControlConfig::AbortConfig);
    if (first == Recovered) {
        QCOMPARE(sim.runsCompleted(), 0);
        QVERIFY(!statuses.contains(SDR_PROG_DONE));
        // A lost link is abandoned without a failure status, then connected and read anew.
        const int lost = statuses.indexOf(SDR_NOT_CONNECTED);
        QCOMPARE(lost >= 0, linkLost);
        if (linkLost)
            QCOMPARE(statuses.mid(lost, 3), (QList<int>{SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
        // Silence, and a stream the framer has lost its place in, end by supervision, once.
        const bool silent = failure == SimControlConfig::Stall || failure == SimControlConfig::Garbage;
        QCOMPARE(m_Log.count(QStringLiteral("TCP_Connect_Timeout")), silent ? 1 : 0);
        // The failure struck once; the next run goes through.
        QVERIFY(waitIdle(sdr));
        QCOMPARE(runOnce(sdr, config, &statuses), Done);
    }
    QCOMPARE(unconfirmedDone, 0);
    QCOMPARE(sim.runsCompleted(), 1);

    const int bytes = int(image.m_MaxFileAdr) + 1;
    if (config) {
        QCOMPARE(sim.cfgSlot(0).left(bytes), QByteArray(reinterpret_cast<const char*>(image.Buffer()), bytes));
    } else {
        const int start = 0x4000;
        QCOMPARE(sim.appFlash(0).mid(start, bytes - start),
                 QByteArray(reinterpret_cast<const char*>(image.Buffer()) + start, bytes - start));
    }
    // After the run it reads the device again: a fresh connection and fresh information.
    const int connections = sim.connectionCount();
    QTRY_VERIFY_WITH_TIMEOUT(sim.connectionCount() > connections && sdr.Status() == SDR_CONNECTED_IDLE, 10000);
}

void tst_Hostile::ackWithoutRun()
{
    SimControlConfig cfg;
    cfg.failure = SimControlConfig::AckWithoutRun;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));
    CSdrInterface sdr(nullptr, &m_App);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy percent(&sdr, &CSdrInterface::PercentComplete);
    QVERIFY(waitIdle(sdr));
    for (const QByteArray& m : sim.received())
        QVERIFY2((quint8(m[1]) >> 5) == 1, "only requests may answer an acknowledgement that ends no block");
    QCOMPARE(percent.count(), 0);
    QList<int> statuses;
    QCOMPARE(runOnce(sdr, false, &statuses), Done);
}

void tst_Hostile::lengthFieldOne()
{
    // A header claiming one byte, then noise, then a real answer: the framer takes one more byte
    // for the bad message and finds the next one intact.
    QTcpServer server;
    QVERIFY2(server.listen(kDevice, 0), qPrintable(server.errorString()));
    CSdrInterface sdr(nullptr, &m_App);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = server.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 5000);
    QTcpSocket* peer = server.nextPendingConnection();
    QByteArray serial = QByteArray::fromHex("0e000200") + "QR999999" + QByteArray(2, '\0');
    peer->write(QByteArray::fromHex("01007f") + serial);
    QTRY_COMPARE_WITH_TIMEOUT(sdr.m_SerialNum, QStringLiteral("QR999999"), 5000);
    QVERIFY(status.contains(QVariantList{QVariant::fromValue(SDR_GOT_INFO)}));
}

void tst_Hostile::geometryChangesMidRun_data()
{
    // What the device sends after a run has started with 1024-byte blocks, as raw bytes.
    QTest::addColumn<QByteArray>("midRun");
    const QByteArray ack = QByteArray::fromHex("0660") + QByteArray(4, '\0');
    const QByteArray startData = QByteArray::fromHex("060000030001");
    // Application geometry again, block size 9000: more than one message can carry.
    QTest::addRow("application block size too large")
        << startData + QByteArray::fromHex("1100020300 00002000 28230000 00400000") + ack;
    QTest::addRow("application block size 0")
        << startData + QByteArray::fromHex("1100020300 00002000 00000000 00400000") + ack;
    // The device answers "start" for the configuration flash, whose geometry was never checked.
    QTest::addRow("start for the other flash")
        << QByteArray::fromHex("1100020301 00002000 28230000 00000800") + QByteArray::fromHex("060000030101");
}

void tst_Hostile::geometryChangesMidRun()
{
    QFETCH(QByteArray, midRun);
    // A receiver with 1024-byte application blocks brings the client to idle; what follows the start
    // is fed straight to the framer, before the receiver's own answers arrive.
    SimControl sim{SimControlConfig{}};
    QVERIFY(sim.listen(kDevice, 0));
    CSdrInterface sdr(nullptr, &m_App);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QVERIFY(waitIdle(sdr));
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QSignalSpy percent(&sdr, &CSdrInterface::PercentComplete);
    sdr.StartAppProg(0);
    QCOMPARE(percent.count(), 1);
    sdr.FrameBytes(reinterpret_cast<const quint8*>(midRun.constData()), midRun.size());
    QVERIFY(m_Log.startingWith(QStringLiteral("Block size Error")).size() >= 1);
    // Half an image is never ended as if it were whole: the run fails.
    QVERIFY(status.contains(QVariantList{QVariant::fromValue(SDR_PROG_FAILED)}));
    QVERIFY(!status.contains(QVariantList{QVariant::fromValue(SDR_PROG_DONE)}));
    QVERIFY(!sdr.RunActive());
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"
