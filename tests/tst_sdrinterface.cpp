#include "FirmwareImage.h"
#include "SdrInterface.h"
#include "SimControl.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The client against the emulated receiver over real sockets in the private network.
// Every run here waits for real 1-second ticks, so there are few of them and each checks a lot.

namespace {
QStringList g_Log;
QtMessageHandler g_Previous = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    g_Log << msg;
    if (type != QtDebugMsg && type != QtInfoMsg && g_Previous)
        g_Previous(type, ctx, msg);
}

constexpr quint32 QUSD = 0x44535551;
const QHostAddress kDevice(QStringLiteral("198.18.0.7"));

QList<int> ints(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toInt();
    return out;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// A raw application image: product ID at 0x204 and the bank byte at 0x20C of the file.
QByteArray appBin(int size, quint32 productId, int bank)
{
    QByteArray d(size, '\0');
    for (int i = 0; i < size; ++i)
        d[i] = char((i * 7 + 3) & 0xFF);
    for (int i = 0; i < 4; ++i)
        d[0x204 + i] = char(productId >> (8 * i));
    d[0x20C] = char(bank);
    return d;
}

// A bitstream whose design name carries the model and the configuration number.
QByteArray bitFile(int size, const QByteArray& designName)
{
    QByteArray d = QByteArray::fromHex("0009 0ff00ff00ff00ff0 000001") + 'a';
    const QByteArray field = designName + '\0';
    d += char(field.size() >> 8);
    d += char(field.size() & 0xFF);
    d += field;
    while (d.size() < size)
        d += char((d.size() * 13) & 0xFF);
    return d.left(size);
}
} // namespace

class tst_SdrInterface : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void informationRequests();
    void applicationRun();
    void configurationRun();
    void refusals_data();
    void refusals();
    void droppedMidRunReconnects();
    void stalledReceiverDropped();

private:
    // Waits until `sdr` is idle and `sim` has its first status poll.
    bool waitIdle(CSdrInterface& sdr, QSignalSpy& status, const SimControl& sim);
    QTemporaryDir m_Dir;
};

void tst_SdrInterface::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    g_Previous = qInstallMessageHandler(recordMessage);
}

void tst_SdrInterface::init()
{
    g_Log.clear();
}

bool tst_SdrInterface::waitIdle(CSdrInterface& sdr, QSignalSpy& status, const SimControl& sim)
{
    const QByteArray poll = QByteArray::fromHex("04200500");
    return QTest::qWaitFor([&] { return ints(status).contains(SDR_CONNECTED_IDLE); }, 8000)
        && QTest::qWaitFor([&] { return sim.received().contains(poll); }, 2000) && sdr.Status() == SDR_CONNECTED_IDLE;
}

void tst_SdrInterface::informationRequests()
{
    SimControlConfig cfg;
    cfg.serial = QStringLiteral("QR123456");
    cfg.versions[0] = 0x1234;
    cfg.versions[7] = 0x56;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    CSdrInterface sdr(nullptr, nullptr);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QVERIFY(waitIdle(sdr, status, sim));

    const QList<QByteArray> got = sim.received();
    QVERIFY2(got.size() >= 15, qPrintable(QString::number(got.size())));
    const QList<QByteArray> expected = {
        QByteArray::fromHex("04200100"),   QByteArray::fromHex("04200900"),   QByteArray::fromHex("0520020300"),
        QByteArray::fromHex("0520020301"), QByteArray::fromHex("0520040000"), QByteArray::fromHex("0520040002"),
        QByteArray::fromHex("0520040004"), QByteArray::fromHex("0520040005"), QByteArray::fromHex("0520040006"),
        QByteArray::fromHex("0520040007"), QByteArray::fromHex("0520040008"), QByteArray::fromHex("0520040009"),
        QByteArray::fromHex("052004000a"), QByteArray::fromHex("04200200"),
        QByteArray::fromHex("04200500"),  // the first status poll
    };
    QCOMPARE(got.mid(0, 15), expected);

    QCOMPARE(ints(status), (QList<int>{SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO, SDR_GOT_INFO, SDR_CONNECTED_IDLE}));
    QCOMPARE(sdr.m_ModelName, QStringLiteral("Quillrad"));
    QCOMPARE(sdr.m_SerialNum, QStringLiteral("QR123456"));
    QCOMPARE(sdr.m_ProductId, QUSD);
    QCOMPARE(sdr.m_Versions[0], quint16(0x1234));
    QCOMPARE(sdr.m_Versions[2], quint16(200));
    QCOMPARE(sdr.m_Versions[4], quint16(123));
    QCOMPARE(sdr.m_Versions[7], quint16(0x56));
    QCOMPARE(sdr.m_Versions[10], quint16(4));
    QVERIFY(g_Log.contains(QStringLiteral("Prod ID = 0x44535551")));
    QVERIFY(g_Log.contains(QStringLiteral("AppFlash 0x200000  1024")));
    QVERIFY(g_Log.contains(QStringLiteral("ConfigFlash 0x200000  1024")));
}

void tst_SdrInterface::applicationRun()
{
    SimControlConfig cfg;
    cfg.appBlockSize = 256;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    const QString path = m_Dir.filePath(QStringLiteral("app1.bin"));
    QVERIFY(writeFile(path, appBin(3000, QUSD, 1)));
    CFirmwareImage image;
    QCOMPARE(image.ReadAppFile(path, QUSD, 1), 0);
    QCOMPARE(image.m_MaxFileAdr, 0x4BBCu);

    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QSignalSpy percent(&sdr, &CSdrInterface::PercentComplete);
    QVERIFY(waitIdle(sdr, status, sim));
    QCOMPARE(sdr.m_Versions[5], quint16(122));

    status.clear();
    sim.clearReceived();
    sdr.StartAppProg(1);
    QTRY_VERIFY_WITH_TIMEOUT(ints(status).contains(SDR_PROG_DONE), 5000);

    const QList<QByteArray> got = sim.received();
    QVERIFY(got.size() >= 3);
    QCOMPARE(got[0], QByteArray::fromHex("0a00000300005155 5344"));
    QCOMPARE(got[1], QByteArray::fromHex("0a00000300015155 5344"));
    QCOMPARE(got[2], QByteArray::fromHex("0681 00402000"));  // 256 data bytes for 0x00204000
    QCOMPARE(sim.blocksWritten(), 12);
    QCOMPARE(ints(percent), (QList<int>{0, 88, 89, 90, 92, 93, 94, 96, 97, 98, 100, 100, 100}));

    // The bank holds the image from the start offset through m_MaxFileAdr, and is erased elsewhere.
    const QByteArray bank = sim.appFlash(1);
    const QByteArray want(reinterpret_cast<const char*>(image.Buffer()) + 0x4000, int(image.m_MaxFileAdr) - 0x4000 + 1);
    QCOMPARE(bank.mid(0x4000, want.size()), want);
    QCOMPARE(bank.left(0x4000), QByteArray(0x4000, char(0xFF)));
    QCOMPARE(bank.mid(int(image.m_MaxFileAdr) + 1, 64), QByteArray(64, char(0xFF)));
    QCOMPARE(sim.appFlash(0), QByteArray(0x200000, char(0xFF)));

    // Done is reported twice, then the link is dropped and the information read anew.
    QTRY_COMPARE_WITH_TIMEOUT(ints(status).size(), 6, 6000);
    QCOMPARE(ints(status), (QList<int>{SDR_PROGRAMMING, SDR_PROG_DONE, SDR_PROG_DONE, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
    QCOMPARE(sim.connectionCount(), 2);
    QCOMPARE(sdr.m_Versions[5], quint16(123));
    QCOMPARE(sdr.m_Versions[4], quint16(123));
    QVERIFY(g_Log.contains(QStringLiteral("Start Prog")));
    QVERIFY(g_Log.contains(QStringLiteral("Erased uP Flash")));
    QVERIFY(g_Log.contains(QStringLiteral("ProgDone")));
    QVERIFY(g_Log.contains(QStringLiteral("flashAdr=0x204000")));
}

void tst_SdrInterface::configurationRun()
{
    SimControl sim(SimControlConfig{});
    QVERIFY(sim.listen(kDevice, 0));

    const QString path = m_Dir.filePath(QStringLiteral("cfg3.bit"));
    QVERIFY(writeFile(path, bitFile(5000, "Quillrad_top_03.ncd")));
    CFirmwareImage image;
    QCOMPARE(image.ReadCfgFile(path, QUSD, 3), 0);
    QCOMPARE(image.m_MaxFileAdr, 5000u);

    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QSignalSpy percent(&sdr, &CSdrInterface::PercentComplete);
    QVERIFY(waitIdle(sdr, status, sim));
    QCOMPARE(sdr.m_Versions[9], quint16(3));

    status.clear();
    sim.clearReceived();
    sdr.StartConfigProg(3);
    QTRY_VERIFY_WITH_TIMEOUT(ints(status).contains(SDR_PROG_DONE), 5000);

    const QList<QByteArray> got = sim.received();
    QVERIFY(got.size() >= 8);
    QCOMPARE(got[0], QByteArray::fromHex("0a00000301005155 5344"));
    QCOMPARE(got[1], QByteArray::fromHex("0a00000301015155 5344"));
    QCOMPARE(got[2], QByteArray::fromHex("06a4 00001000"));  // 1024 data bytes for slot 2
    QCOMPARE(got[6], QByteArray::fromHex("8fa3 00101000"));  // the last 905 bytes
    QCOMPARE(got[7], QByteArray::fromHex("0a00000301025155 5344"));
    QCOMPARE(ints(percent), (QList<int>{0, 41, 62, 82, 100, 100}));

    const QByteArray slot = sim.cfgSlot(2);
    QCOMPARE(slot.left(5001), QByteArray(reinterpret_cast<const char*>(image.Buffer()), 5001));
    QCOMPARE(slot.mid(5001, 64), QByteArray(64, char(0xFF)));
    QCOMPARE(sim.cfgSlot(1), QByteArray(0x80000, char(0xFF)));

    QTRY_COMPARE_WITH_TIMEOUT(ints(status).size(), 6, 6000);
    QCOMPARE(ints(status), (QList<int>{SDR_PROGRAMMING, SDR_PROG_DONE, SDR_PROG_DONE, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
    QCOMPARE(sdr.m_Versions[9], quint16(4));
    QCOMPARE(sdr.m_Versions[8], quint16(2));
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
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    CFirmwareImage image;
    const QString path = m_Dir.filePath(QStringLiteral("refusal.%1").arg(item < 2 ? "bin" : "bit"));
    if (item < 2) {
        QVERIFY(writeFile(path, appBin(1000, QUSD, item)));
        QCOMPARE(image.ReadAppFile(path, QUSD, item), 0);
    } else {
        QVERIFY(writeFile(path, bitFile(4096, "Quillrad_0" + QByteArray::number(item - 1) + ".ncd")));
        QCOMPARE(image.ReadCfgFile(path, QUSD, item - 1), 0);
    }

    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QSignalSpy percent(&sdr, &CSdrInterface::PercentComplete);
    QVERIFY(waitIdle(sdr, status, sim));

    status.clear();
    sim.clearReceived();
    if (item < 2)
        sdr.StartAppProg(item);
    else
        sdr.StartConfigProg(item - 1);
    if (finalStatus >= 0) {
        QTRY_VERIFY_WITH_TIMEOUT(!status.isEmpty(), 5000);
        QCOMPARE(ints(status), QList<int>{finalStatus});
        // The next tick turns the failure back into idle and polls.
        QTRY_COMPARE_WITH_TIMEOUT(ints(status), (QList<int>{finalStatus, SDR_CONNECTED_IDLE}), 3000);
    } else {
        QVERIFY(status.isEmpty());
        QVERIFY(percent.isEmpty());
    }
    for (const QString& line : logLines)
        QVERIFY2(g_Log.contains(line), qPrintable(line));
    int control = 0;
    for (const QByteArray& m : sim.received())
        control += (quint8(m.at(1)) >> 5) == 0 ? 1 : 0;
    QCOMPARE(control, controlMessages);
    QCOMPARE(sim.blocksWritten(), 0);
}

void tst_SdrInterface::droppedMidRunReconnects()
{
    SimControlConfig cfg;
    cfg.appBlockSize = 256;
    cfg.failure = SimControlConfig::DropAfterBlocks;
    cfg.failAfterBlocks = 3;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    const QString path = m_Dir.filePath(QStringLiteral("drop.bin"));
    QVERIFY(writeFile(path, appBin(3000, QUSD, 0)));
    CFirmwareImage image;
    QCOMPARE(image.ReadAppFile(path, QUSD, 0), 0);

    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QVERIFY(waitIdle(sdr, status, sim));

    status.clear();
    sim.clearReceived();
    sdr.StartAppProg(0);
    // The run is abandoned without a failure: the link comes back and the information is read again.
    QTRY_COMPARE_WITH_TIMEOUT(ints(status).size(), 4, 6000);
    QCOMPARE(ints(status), (QList<int>{SDR_PROGRAMMING, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
    QCOMPARE(sim.connectionCount(), 2);
    QCOMPARE(sim.blocksWritten(), 3);
    QVERIFY(sim.received().contains(QByteArray::fromHex("04200200")));
    QCOMPARE(sim.received().count(QByteArray::fromHex("04200100")), 1);

    // The failure struck once; a new run completes.
    QVERIFY(waitIdle(sdr, status, sim));
    status.clear();
    sdr.StartAppProg(0);
    QTRY_VERIFY_WITH_TIMEOUT(ints(status).contains(SDR_PROG_DONE), 5000);
    QCOMPARE(sim.runsCompleted(), 1);
    QCOMPARE(sim.version(4), quint16(124));
}

void tst_SdrInterface::stalledReceiverDropped()
{
    SimControlConfig cfg;
    cfg.appBlockSize = 256;
    cfg.failure = SimControlConfig::Stall;
    cfg.failAfterBlocks = 2;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    const QString path = m_Dir.filePath(QStringLiteral("stall.bin"));
    QVERIFY(writeFile(path, appBin(3000, QUSD, 0)));
    CFirmwareImage image;
    QCOMPARE(image.ReadAppFile(path, QUSD, 0), 0);

    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = kDevice;
    sdr.m_Port = sim.serverPort();
    QSignalSpy status(&sdr, &CSdrInterface::NewSdrStatus);
    QVERIFY(waitIdle(sdr, status, sim));

    status.clear();
    g_Log.clear();
    sdr.StartAppProg(0);
    QTRY_VERIFY_WITH_TIMEOUT(ints(status).contains(SDR_PROGRAMMING), 3000);
    QElapsedTimer sinceStall;
    sinceStall.start();
    QTRY_VERIFY_WITH_TIMEOUT(g_Log.contains(QStringLiteral("TCP_Connect_Timeout")), 8000);
    // Supervision waits its 50 ticks; well under that would mean it never waited.
    QVERIFY2(sinceStall.elapsed() > 4000, qPrintable(QString::number(sinceStall.elapsed())));
    QCOMPARE(g_Log.count(QStringLiteral("TCP_Connect_Timeout")), 1);
    QCOMPARE(ints(status), QList<int>{SDR_PROGRAMMING});

    QTRY_COMPARE_WITH_TIMEOUT(ints(status).size(), 4, 5000);
    QCOMPARE(ints(status), (QList<int>{SDR_PROGRAMMING, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
    QCOMPARE(sim.connectionCount(), 2);
    QCOMPARE(sim.blocksWritten(), 2);
}

QTEST_GUILESS_MAIN(tst_SdrInterface)
#include "tst_sdrinterface.moc"
