#include "SdrRig.h"
#include "TestLog.h"

#include <QtNetwork>
#include <QtTest>

using namespace Fixtures;

// The client against the emulated receiver over real sockets in the private network: information,
// runs, refusals, and bytes no receiver should send. Misbehaving receivers are tst_runfailures'.
// Every run waits for real 1-second ticks, so there are few of them and each checks a lot.

struct RefusalRow {
    quint32 bankSize, startOffset, slotSize;
    int item;  // 0 or 1 application, 2 to 5 configurations 1 to 4
    QByteArray midRun;  // what the device sends right after the start commands, fed to the framer
    QStringList logLines;
    QList<int> statuses;  // up to the failure; empty: the run never starts
    QList<int> sent;  // the types of the messages the receiver got, requests left out: 0 control, 4 block
    eRunResult result;  // why it ended, or why the start was refused
};
Q_DECLARE_METATYPE(RefusalRow)

struct RunRow {
    int item;  // 0 or 1 application, 2 to 5 configurations 1 to 4
    QByteArray file;
    quint32 maxFileAdr;
    QStringList sent;  // the receiver's first messages in hex, "" not compared
    QList<int> percent;  // empty: not compared
    QStringList logLines;
    int version;  // the item's version after the run, read afresh: the one the image carries
};
Q_DECLARE_METATYPE(RunRow)

class tst_SdrInterface : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_Dir.isValid()); }
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }

    void informationRequests()
    {
        // Nobody listens at first: the attempt fails, and the next tick tries again. Then the link goes
        // mid-message, before the serial number: the client connects again and reads everything anew,
        // its framer starting clean.
        SimControlConfig cfg;
        cfg.serial = QStringLiteral("QR123456");
        cfg.versions[0] = 0x1234;
        cfg.versions[7] = 0x56;
        SdrRig rig(cfg);
        rig.sdr.m_IPAdr = SdrRig::Device;
        rig.sdr.m_Port = 1;
        QTRY_VERIFY_WITH_TIMEOUT(m_Log.contains("Connect Failed"), 4000);
        QTcpServer first;
        QVERIFY2(first.listen(SdrRig::Device, 0), qPrintable(first.errorString()));
        rig.sdr.m_Port = first.serverPort();
        QTRY_VERIFY_WITH_TIMEOUT(first.hasPendingConnections(), 5000);
        QTcpSocket* peer = first.nextPendingConnection();
        // The 14 information requests in order.
        const QByteArray asked = QByteArray::fromHex("04200100 04200900 0520020300 0520020301 0520040000 0520040002 "
            "0520040004 0520040005 0520040006 0520040007 0520040008 0520040009 052004000a 04200200");
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= asked.size(), 3000);
        QCOMPARE(got.toHex(' '), asked.toHex(' '));
        // Geometry before any product ID (refused); a header claiming one byte, then noise, then real
        // answers: the framer takes one more byte for the bad message and finds the next one intact;
        // a ready answer with no run of ours (one that timed out and was aborted), which starts nothing.
        peer->write(QByteArray::fromHex("1100020300 00002000 00040000 00400000 01007f 0c000100") + "Quillix" + '\0'
                    + QByteArray::fromHex("08000900 51554951 060000030001 0e000200") + "QR9");
        peer->disconnectFromHost();
        first.close();
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count("Get info fail"), 1, 3000);
        QVERIFY(m_Log.contains("Prod ID = 0x51495551") && m_Log.contains("Unknown Device"));  // on the first link
        QVERIFY(m_Log.contains("Start Prog outside a run") && !m_Log.contains("AppFlash 0x200000  1024"));
        QVERIFY(rig.sim.listen(SdrRig::Device, rig.sdr.m_Port));
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 10000);
        QCOMPARE(ints(rig.status), (QList<int>{SDR_NOT_CONNECTED, SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_NOT_CONNECTED,
                                               SDR_GETTING_INFO, SDR_GOT_INFO, SDR_GOT_INFO, SDR_CONNECTED_IDLE}));
        QCOMPARE(rig.sim.received().mid(0, 15).join().toHex(' '), (asked + QByteArray::fromHex("04200500")).toHex(' '));
        QCOMPARE(rig.sim.connectionCount(), 1);
        QCOMPARE(rig.sdr.m_ModelName + ' ' + rig.sdr.m_SerialNum, QStringLiteral("Quillrad QR123456"));
        QCOMPARE(rig.sdr.m_ProductId, Qusd);
        const SdrVersions& v = rig.sdr.m_Versions;
        QCOMPARE((QList<quint16>{v[0], v[2], v[4], v[7], v[10]}), (QList<quint16>{0x1234, 200, 123, 0x56, 4}));
        for (const char* line : {"Prod ID = 0x44535551", "AppFlash 0x200000  1024", "ConfigFlash 0x200000  1024"})
            QVERIFY2(m_Log.contains(QLatin1String(line)), line);
    }

    void run_data()
    {
        QTest::addColumn<RunRow>("row");
        // 256 data bytes for 0x00204000; for slot 2, 1024 data bytes at first and the last 905 at the end.
        // The receiver reports the version the image it wrote carries: each differs from the one before and one above.
        QTest::addRow("application 1 in 256-byte blocks, carrying 5.33") << RunRow{1, appImage(3000, Qusd, 1, 533), 0x4BBC,
            {"0a00000300005155 5344", "0a00000300015155 5344", "0681 00402000"},
            {0, 88, 89, 90, 92, 93, 94, 96, 97, 98, 100, 100, 100},
            {"Start Prog", "Erased uP Flash", "ProgDone", "flashAdr=0x204000"}, 533};
        QTest::addRow("configuration 3, UserID's low byte")
            << RunRow{4, bitFile("Quillrad_top_03.ncd;UserID=0x1234565A", 5000), 5000,
            {"0a00000301005155 5344", "0a00000301015155 5344", "06a4 00001000", "", "", "", "8fa3 00101000",
             "0a00000301025155 5344"},
            {0, 41, 62, 82, 100, 100}, {"Erased Cfg Flash"}, 0x5A};
        QTest::addRow("configuration 4: UserID behind the NUL")
            << RunRow{5, bitFile(QByteArray("Quillrad_top_04.ncd\0;UserID=0x00000033", 38), 3000), 3000, {}, {}, {}, 0xFF};
    }

    void run()
    {
        QFETCH(RunRow, row);
        const auto& [item, file, maxFileAdr, sent, percent, logLines, after] = row;
        const int version = item < 2 ? 4 + item : 5 + item;
        SimControlConfig cfg;
        cfg.appBlockSize = 256;
        SdrRig rig(cfg);
        QCOMPARE(rig.load(m_Dir.filePath(item < 2 ? "run.bin" : "run.bit"), file, item), 0);
        QCOMPARE(rig.image.m_MaxFileAdr, maxFileAdr);
        rig.program(item);  // before the link is up
        QCOMPARE(rig.sdr.LastResult(), START_NOT_CONNECTED);
        QVERIFY(rig.start());
        const int before = rig.sdr.m_Versions[version], neighbour = rig.sdr.m_Versions[version - 1];
        QVERIFY(after != before && after != before + 1);

        // Each "Program Finished OK" is followed by a drop of the link; a start in between is refused,
        // so the receiver never erases for a run that the reconnection would cut. Starts are tried as
        // each end and reconnection status is heard (not yet idle before the first poll).
        QSignalSpy results(&rig.sdr, &CSdrInterface::RunResult);
        QList<int> refusals;
        connect(&rig.sdr, &CSdrInterface::NewSdrStatus, this, [&](eSdrStatus s) {
            if (s == SDR_PROG_DONE || s == SDR_GOT_INFO) {
                ProgItem::start(rig.sdr, item);
                refusals << rig.sdr.LastResult();
            }
        });
        rig.program(item);
        ProgItem::start(rig.sdr, item);  // while the run is under way
        QCOMPARE(rig.sdr.LastResult(), START_RUN_ACTIVE);
        QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_PROG_DONE), 5000);
        const QList<QByteArray> got = rig.sim.received();
        QVERIFY(got.size() >= sent.size());
        for (int i = 0; i < sent.size(); ++i)
            if (!sent[i].isEmpty())
                QCOMPARE(got[i].toHex(), QByteArray::fromHex(sent[i].toLatin1()).toHex());
        if (!percent.isEmpty()) {
            QCOMPARE(ints(rig.percent), percent);
            QCOMPARE(rig.sim.blocksWritten(), percent.size() - 1);
        }

        // The image from its start through m_MaxFileAdr, erased flash around it and in the other bank or slot.
        const int first = item < 2 ? 0x4000 : 0, n = int(maxFileAdr) + 1 - first;
        const QByteArray flash = item < 2 ? rig.sim.appFlash(item) : rig.sim.cfgSlot(item - 2);
        QCOMPARE(flash.mid(first, n), QByteArray(reinterpret_cast<const char*>(rig.image.Buffer()) + first, n));
        QCOMPARE(flash.left(first), QByteArray(first, char(0xFF)));
        QCOMPARE(flash.mid(first + n, 64), QByteArray(64, char(0xFF)));
        const QByteArray other = item < 2 ? rig.sim.appFlash(1 - item) : rig.sim.cfgSlot((item - 1) % 4);
        QCOMPARE(other, QByteArray(other.size(), char(0xFF)));

        // Done is reported twice, then the link is dropped and the information read anew.
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 8000);
        QCOMPARE(ints(rig.status), (QList<int>{SDR_PROGRAMMING, SDR_PROG_DONE, SDR_PROG_DONE, SDR_NOT_CONNECTED,
                                               SDR_GETTING_INFO, SDR_GOT_INFO, SDR_GOT_INFO, SDR_CONNECTED_IDLE}));
        QCOMPARE(refusals, (QList<int>{START_RECONNECT_PENDING, START_RECONNECT_PENDING, START_NOT_CONNECTED, START_NOT_IDLE}));
        // A start refused while "Program Finished OK" is heard does not rename the run's end.
        QCOMPARE(ints(results), QList<int>{RUN_DONE});
        QCOMPARE(rig.sim.runsStarted(), 1);
        QCOMPARE(rig.sim.runsCut(), 0);
        QCOMPARE(rig.sim.connectionCount(), 2);
        QVERIFY(rig.sdr.CanStart());
        QCOMPARE(int(rig.sdr.m_Versions[version]), after);
        QCOMPARE(int(rig.sdr.m_Versions[version - 1]), neighbour);
        for (const QString& line : logLines)
            QVERIFY2(m_Log.contains(line), qPrintable(line));
    }

    void refusals_data()
    {
        QTest::addColumn<RefusalRow>("row");
        const int failed = SDR_PROG_FAILED;
        QTest::addRow("nothing after the start offset")
            << RefusalRow{0x200000, 0x10000, 0x80000, 0, {}, {"Start Prog", "Prog Error"}, {failed}, {0, 0}, RUN_NOTHING_TO_SEND};
        QTest::addRow("configuration as large as a slot")
            << RefusalRow{0x200000, 0x4000, 0x1001, 3, {}, {"Config Prog Abort"}, {}, {}, START_IMAGE_TOO_LARGE};
        QTest::addRow("bank size") << RefusalRow{0x100000, 0x4000, 0x80000, 1, {}, {"App flashsize Error"}, {}, {}, START_BAD_GEOMETRY};
        // Half an image is never ended as if it were whole: the run fails. Application geometry again
        // after a ready answer, block size 0: a block that would never advance; then an acknowledgement.
        QTest::addRow("block size 0 mid-run") << RefusalRow{0x200000, 0x4000, 0x80000, 0,
            QByteArray::fromHex("060000030001 1100020300 00002000 00000000 00400000 0660 00000000"),
            {"Block size Error 0"}, {SDR_PROGRAMMING, failed}, {0, 0, 4, 0}, RUN_BLOCKS_LEFT};
        // The device answers "start" for the configuration flash, whose geometry was never checked.
        QTest::addRow("start for the other flash") << RefusalRow{0x200000, 0x4000, 0x80000, 0,
            QByteArray::fromHex("1100020301 00002000 28230000 00000800 060000030101"), {"Block size Error 9000"}, {failed}, {0, 0}, RUN_BLOCKS_LEFT};
    }

    void refusals()
    {
        QFETCH(RefusalRow, row);
        const auto& [bankSize, startOffset, slotSize, item, midRun, logLines, statuses, sent, result] = row;

        SimControlConfig cfg;
        cfg.appBankSize = bankSize;
        cfg.appStartOffset = startOffset;
        cfg.cfgSlotSize = slotSize;
        SdrRig rig(cfg);
        const QString path = m_Dir.filePath(QStringLiteral("refusal.%1").arg(item < 2 ? "bin" : "bit"));
        QCOMPARE(rig.load(path, item < 2 ? appImage(3000, Qusd, quint8(item)) : bitFile("Quillrad_0" + QByteArray::number(item - 1) + ".ncd"), item), 0);
        QVERIFY(rig.start());
        QSignalSpy results(&rig.sdr, &CSdrInterface::RunResult);
        rig.program(item);
        rig.sdr.FrameBytes(reinterpret_cast<const quint8*>(midRun.constData()), midRun.size());
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.LastResult()), int(result), 5000);  // kept by a refused start too
        QCOMPARE(results.count(), statuses.isEmpty() ? 0 : 1);
        if (!statuses.isEmpty()) {
            // The next tick turns the failure back into idle and polls.
            QTRY_COMPARE_WITH_TIMEOUT(ints(rig.status), statuses + QList<int>{SDR_CONNECTED_IDLE}, 3000);
        } else {
            QVERIFY(rig.status.isEmpty());
            QVERIFY(rig.percent.isEmpty());
        }
        for (const QString& line : logLines)
            QVERIFY2(m_Log.contains(line), qPrintable(m_Log.lines().join('|')));
        QList<int> got = types(rig.sim.received());
        got.removeAll(1);  // information requests and status polls
        QCOMPARE(got, sent);
    }

    void startRightAfterFailure()
    {
        // Start pressed again at once after a run that waited too long for an acknowledgement: the late
        // acknowledgement arrives while the receiver erases for the new run and sends nothing before
        // its ready answer, and the new run writes the whole image.
        SimControlConfig cfg;
        cfg.failure = SimControlConfig::SlowAck;
        cfg.slowAckMs = 700;
        cfg.eraseMs = 1000;
        cfg.appBlockSize = 4096;
        SdrRig rig(cfg);
        QCOMPARE(rig.load(m_Dir.filePath(QStringLiteral("late.bin")), appImage(0x4000 + 4000, Qusd, 0), 0), 0);
        QVERIFY(rig.start());
        QSignalSpy results(&rig.sdr, &CSdrInterface::RunResult);
        rig.sdr.SetRunTimeouts(60000, 300);
        rig.program(0);
        QTRY_COMPARE_WITH_TIMEOUT(ints(results), QList<int>{RUN_ACK_TIMEOUT}, 5000);
        rig.sdr.SetRunTimeouts(60000, 5000);
        rig.program(0);  // allowed while "!! Programmin Failed !!" shows
        QTRY_COMPARE_WITH_TIMEOUT(ints(results), (QList<int>{RUN_ACK_TIMEOUT, RUN_DONE}), 10000);
        QCOMPARE(rig.sim.protocolViolations(), 0);
        QCOMPARE(rig.sim.runsCompleted(), 1);
    }

private:
    QTemporaryDir m_Dir;
    TestLog m_Log;
};

QTEST_GUILESS_MAIN(tst_SdrInterface)
#include "tst_sdrinterface.moc"
