#include "SdrRig.h"
#include "TestLog.h"

#include <QtTest>
#include <algorithm>

using namespace Fixtures;

/// Programming control commands with `code` for `target` that the receiver got.
static int controlCodes(const SimControl& sim, int target, int code)
{
    const QByteArray head = QByteArray::fromHex("0a000003") + char(target) + char(code);
    int n = 0;
    for (const QByteArray& m : sim.received())
        n += m.startsWith(head);
    return n;
}

/// The emulated receiver's failure and after how many blocks; times in ms: how long the receiver
/// erases, how long the client waits for the ready answer and for each acknowledgement.
struct FailureRow {
    QString failure;
    int afterBlocks;
    bool config;
    int eraseMs, eraseBound, ackBound;
    int result;         // how the first run ends; -1: either of a silent receiver's two names
    bool relink;        // the link drops, and the client connects and reads the receiver anew
    int aborts;         // abort requests the receiver gets before the link drops
    bool retry;         // the device takes a second run
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
        // tst_linkfailures takes the rows whose link goes, tst_runfailures the rest.
        const auto addRow = [](const char* name, const FailureRow& row) {
            if (row.relink == QF_LINK_ROWS)
                QTest::newRow(name) << row;
        };

        const int off = 60000, ack = 5000;  // ack: as long as the link's supervision, as it is by default
        addRow("drop after the last block", FailureRow{"DropAfterBlocks", 8, false, 0, off, off, RUN_LINK_LOST, true, 0, true});
        addRow("configuration: drop mid-run", FailureRow{"DropAfterBlocks", 4, true, 0, off, off, RUN_LINK_LOST, true, 0, true});
        addRow("garbage mid-run", FailureRow{"Garbage", 5, false, 0, off, off, RUN_LINK_LOST, true, 1, true});
        // Silence trips the supervision (5 s) and the ack bound together: the abort comes first either way.
        const struct { const char* first; int ackBound, result; } orders[] = {
            {"bound", ack - 600, RUN_ACK_TIMEOUT}, {"either", ack, -1}, {"supervision", ack + 600, RUN_LINK_LOST}};
        for (const auto& o : orders)
            addRow(qPrintable(QStringLiteral("receiver falls silent, %1 first").arg(QLatin1String(o.first))),
                   FailureRow{"Stall", 3, false, 0, off, o.ackBound, o.result, true, 1, o.ackBound > ack});
        addRow("acks stop, link kept alive", FailureRow{"Stall", 3, false, 0, off, 1500, RUN_ACK_TIMEOUT, false, 1, false});
        addRow("acknowledgement later than its bound", FailureRow{"SlowAck", 0, false, 0, off, 150, RUN_ACK_TIMEOUT, false, 1, true});
        addRow("configuration: erase never finishes", FailureRow{"NeverReady", 0, true, 0, 1500, 400, RUN_ERASE_TIMEOUT, false, 1, true});
        addRow("erase longer than an ack, within its bound", FailureRow{"None", 0, false, 1200, 3000, 400, RUN_DONE, false, 0, false});
        addRow("device aborts configuration", FailureRow{"AbortConfig", 3, true, 0, off, off, RUN_CFG_ABORTED, false, 0, true});
        addRow("device aborts application", FailureRow{"AbortApp", 3, false, 0, off, off, RUN_APP_ABORTED, false, 0, true});
        addRow("slow acknowledgements, each within its bound", FailureRow{"SlowAck", 0, false, 0, off, 1000, RUN_DONE, false, 0, false});
        addRow("duplicate acknowledgement", FailureRow{"DuplicateAck", 4, false, 0, off, off, RUN_DONE, false, 0, false});
        addRow("acknowledgement before any run", FailureRow{"AckWithoutRun", 0, false, 0, off, off, RUN_DONE, false, 0, false});
    }

    void failures()
    {
        QFETCH(FailureRow, row);
        const auto& [failure, afterBlocks, config, eraseMs, eraseBound, ackBound, result, relink, aborts, retry] = row;

        SimControlConfig cfg;
        cfg.failure = SimControlConfig::failureFromName(failure);
        cfg.failAfterBlocks = afterBlocks;
        cfg.eraseMs = eraseMs;
        cfg.slowAckMs = 250;  // eight of them outlast one acknowledgement bound
        // Unsolicited status keeps a receiver that stops acknowledging alive, except where its silence is the point.
        cfg.statusPeriodMs = relink ? 0 : 300;
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
            QCOMPARE(types(rig.sim.received()).count(1), rig.sim.received().size());
        QSignalSpy active(&rig.sdr, &CSdrInterface::RunActiveChanged);
        QSignalSpy results(&rig.sdr, &CSdrInterface::RunResult);
        rig.program(item);
        QVERIFY(rig.sdr.RunActive());
        QTRY_VERIFY_WITH_TIMEOUT(!results.isEmpty(), qMin(eraseBound, 30000) + 8000);
        const int named = ints(results).constFirst();
        QCOMPARE(results.count(), 1);
        if (result >= 0)
            QCOMPARE(named, result);
        else
            QVERIFY(named == RUN_ACK_TIMEOUT || named == RUN_LINK_LOST);
        QCOMPARE(active.count(), 2);
        QVERIFY(!rig.sdr.RunActive());
        // Every abort went out while the link still stood: the receiver got it.
        QCOMPARE(controlCodes(rig.sim, config, 3), aborts);

        if (relink) {
            // Connected and read anew; a run lost with its link ends without a failure status.
            QTRY_VERIFY_WITH_TIMEOUT(ints(rig.status).contains(SDR_GOT_INFO), 12000);
            const QList<int> st = ints(rig.status);
            QCOMPARE(st.contains(SDR_PROG_FAILED), named != RUN_LINK_LOST);
            QVERIFY(!st.contains(SDR_PROG_DONE));
            QCOMPARE(st.mid(st.indexOf(SDR_NOT_CONNECTED), 3), (QList<int>{SDR_NOT_CONNECTED, SDR_GETTING_INFO, SDR_GOT_INFO}));
            // Silence, and a stream the framer has lost its place in, end by supervision, once.
            QCOMPARE(m_Log.count("TCP_Connect_Timeout"), failure == "DropAfterBlocks" ? 0 : 1);
            // A receiver that still listens ends its run on the abort; a silent or gone one has it cut with the link.
            QCOMPARE(rig.sim.runsCut(), failure == "Garbage" ? 0 : 1);
            QCOMPARE(ints(results), QList<int>{named});  // named once, also after the drop
            QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 3000);
        } else if (result != RUN_DONE) {
            QCOMPARE(rig.sdr.Status(), SDR_PROG_FAILED);
            // What still arrives of the failed run (a late acknowledgement) sends nothing more of it and
            // changes no status. The link stays up; the next tick is idle again and Start works.
            QTest::qWait(cfg.slowAckMs);
            QTRY_COMPARE_WITH_TIMEOUT(int(rig.sdr.Status()), int(SDR_CONNECTED_IDLE), 2500);
            const QList<int> st = ints(rig.status);
            for (int s : st.mid(st.indexOf(SDR_PROG_FAILED)))  // failed again on the answer to a configuration abort
                QVERIFY(s == SDR_PROG_FAILED || s == SDR_CONNECTED_IDLE);
            const QList<QByteArray> got = rig.sim.received();
            const QByteArray abort = QByteArray::fromHex("0a000003") + char(config) + char(3);
            const auto at = std::find_if(got.begin(), got.end(), [&](const QByteArray& m) { return m.startsWith(abort); });
            QVERIFY(std::none_of(at, got.end(), [](const QByteArray& m) { return quint8(m[1]) >> 5 >= 4; }));  // no block
            QCOMPARE(rig.sim.connectionCount(), 1);
            QVERIFY(rig.sdr.CanStart());
        }
        if (result != RUN_DONE) {
            if (!retry)
                return;
            rig.sdr.SetRunTimeouts(60000, 5000);  // the next run, with the usual bounds
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
