#include "SdrRig.h"
#include "TestLog.h"

#include <QtTest>

using namespace Fixtures;

namespace {

/// Programming control commands with `code` for `target` that the receiver got.
int controlCodes(const SimControl& sim, int target, int code)
{
    const QByteArray head = QByteArray::fromHex("0a000003") + char(target) + char(code);
    int n = 0;
    for (const QByteArray& m : sim.received())
        n += m.startsWith(head);
    return n;
}

} // namespace

/// The emulated receiver's failure and after how many blocks; times in ms: how long the receiver
/// erases, how long the client waits for the ready answer and for each acknowledgement.
struct FailureRow {
    QString failure;
    int afterBlocks;
    bool config;
    int eraseMs, eraseBound, ackBound;
    QString ending;  // the first run: "done", "link lost", or the log line of its failure
    int aborts;      // abort requests the client sends
    bool retry;      // the device takes a second run
};
Q_DECLARE_METATYPE(FailureRow)

// Receivers that misbehave over real sockets. Whatever they do, the client never reports a finished
// run that the receiver did not confirm, never writes past a buffer (the sanitizer build watches),
// ends every run it started, and comes back: the next run succeeds.
class tst_RunFailures : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_Dir.isValid()); }
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }

    void failures_data()
    {
        // Bounds are shortened to seconds where a row is about them, and kept out of the way elsewhere.
        QTest::addColumn<FailureRow>("row");

        const int off = 60000;
        QTest::addRow("drop after the last block") << FailureRow{"DropAfterBlocks", 8, false, 0, off, off, "link lost", 0, true};
        QTest::addRow("configuration: drop mid-run") << FailureRow{"DropAfterBlocks", 4, true, 0, off, off, "link lost", 0, true};
        QTest::addRow("garbage mid-run") << FailureRow{"Garbage", 5, false, 0, off, off, "link lost", 0, true};
        QTest::addRow("acks stop, link kept alive") << FailureRow{"Stall", 3, false, 0, off, 1500, "Prog Timeout", 1, false};
        QTest::addRow("erase never finishes") << FailureRow{"NeverReady", 0, false, 0, 1500, 400, "Prog Timeout", 1, true};
        QTest::addRow("configuration: erase never finishes") << FailureRow{"NeverReady", 0, true, 0, 1500, 400, "Prog Timeout", 1, true};
        QTest::addRow("erase longer than an ack, within its bound") << FailureRow{"None", 0, false, 1200, 3000, 400, "done", 0, false};
        QTest::addRow("device aborts configuration") << FailureRow{"AbortConfig", 3, true, 0, off, off, "Cfg ProgAbort", 0, true};
        QTest::addRow("device aborts application") << FailureRow{"AbortApp", 3, false, 0, off, off, "uP ProgAbort", 0, true};
        QTest::addRow("slow acknowledgements, each within its bound") << FailureRow{"SlowAck", 0, false, 0, off, 1000, "done", 0, false};
        QTest::addRow("duplicate acknowledgement") << FailureRow{"DuplicateAck", 4, false, 0, off, off, "done", 0, false};
        QTest::addRow("acknowledgement before any run") << FailureRow{"AckWithoutRun", 0, false, 0, off, off, "done", 0, false};
    }

    void failures()
    {
        QFETCH(FailureRow, row);
        const auto& [failure, afterBlocks, config, eraseMs, eraseBound, ackBound, ending, aborts, retry] = row;

        SimControlConfig cfg;
        cfg.failure = SimControlConfig::failureFromName(failure);
        cfg.failAfterBlocks = afterBlocks;
        cfg.eraseMs = eraseMs;
        cfg.slowAckMs = 250;  // eight of them outlast one acknowledgement bound
        // Unsolicited status keeps a receiver that stops acknowledging alive, except where its silence is the point.
        cfg.statusPeriodMs = ending == "link lost" ? 0 : 300;
        SdrRig rig(cfg);
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
    }

private:
    QTemporaryDir m_Dir;
    TestLog m_Log;
};

QTEST_GUILESS_MAIN(tst_RunFailures)
#include "tst_runfailures.moc"
