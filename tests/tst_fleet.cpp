#include "CtlRig.h"
#include "FirmwareImage.h"
#include "UpdateRecord.h"

#include <QtTest>
#include <csignal>

// What people with many receivers rely on: batches programmed in parallel, and the update record of
// every run, against emulated receivers and the real quillctl.
class tst_Fleet : public QObject, public CtlRig {
    Q_OBJECT
private slots:
    void init() { startRig(); }
    void cleanup() { m_Sim.reset(); }

    void parallelBatch_data()
    {
        QTest::addColumn<int>("parallel");
        QTest::addColumn<bool>("interrupt");      // Ctrl-C once the first runs have started
        QTest::addColumn<QList<int>>("programmed");  // per receiver: 1 programmed, 0 not
        // Four Quillrad receivers, the odd ones in Quill Mode: their switches and returns share the finder socket.
        QTest::newRow("one drops its link, the others go on") << 4 << false << QList<int>{1, 1, 0, 1};
        QTest::newRow("Ctrl-C: the runs under way finish, no new one starts") << 2 << true << QList<int>{1, 1, 0, 0};
    }

    void parallelBatch()
    {
        QFETCH(int, parallel);
        QFETCH(bool, interrupt);
        QFETCH(QList<int>, programmed);
        const QString file = m_Dir.filePath(QStringLiteral("batch.bin"));
        QVERIFY(Fixtures::writeFile(file, Fixtures::appImage(40000, Fixtures::Qusd, 0)));
        QStringList args{"update"};
        for (int i = 0; i < 4; ++i) {
            QJsonObject control{{"eraseMs", 1500}};
            if (!interrupt && i == 2)
                control = {{"failure", "DropAfterBlocks"}, {"failAfterBlocks", 5}};
            addReceiver("Quillrad", QStringLiteral("QR%1").arg(i), 2 + i, {{"opMode", i % 2}, {"control", control}});
            args << QStringLiteral("QR%1").arg(i);
        }
        startSim();
        QProcess p;
        QSignalSpy done(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        p.start(QStringLiteral(QUILLCTL_PATH), args + QStringList{"--item", "app0", file, "--yes", "--parallel", QString::number(parallel)});
        if (interrupt) {
            QTRY_VERIFY_WITH_TIMEOUT(m_Sim->control(0)->runsStarted() + m_Sim->control(1)->runsStarted() == 2, 15000);
            // Both at once: neither has finished while the other erases.
            QCOMPARE(m_Sim->control(0)->runsCompleted() + m_Sim->control(1)->runsCompleted(), 0);
            ::kill(pid_t(p.processId()), SIGINT);
        }
        QVERIFY(done.wait(60000));
        QCOMPARE(p.exitCode(), 3);
        CFirmwareImage image;
        QCOMPARE(image.ReadAppFile(file, Fixtures::Qusd, 0), 0);
        const QByteArray written(reinterpret_cast<const char*>(image.Buffer()) + 0x4000, int(image.m_MaxFileAdr) + 1 - 0x4000);
        for (int i = 0; i < 4; ++i) {
            SimControl* c = m_Sim->control(i);
            QCOMPARE(c->runsCompleted(), programmed[i]);
            if (programmed[i])
                QCOMPARE(c->appFlash(0).mid(0x4000, written.size()), written);
            // No run is cut but the one whose receiver drops its link; a receiver not started is never touched.
            QCOMPARE(c->runsCut(), !interrupt && i == 2 ? 1 : 0);
            QCOMPARE(c->connectionCount() > 0, !interrupt || i < 2);
            QCOMPARE(fields(i).value("opMode").toInt(), i % 2);
        }
        const QString summary = QString::fromLatin1(p.readAllStandardOutput());
        QVERIFY2(summary.contains(QRegularExpression("QR2 +Quillrad +app0 +(failed: the link was lost|not started)")), qPrintable(summary));
    }

    void killedMidRun_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitCode");   // -1: killed
        QTest::addColumn<int>("lineCount");
        QTest::addColumn<QString>("shown");  // by quillctl log
        QTest::newRow("SIGKILL: a start without an end") << int(SIGKILL) << -1 << 1 << "interrupted";
        QTest::newRow("SIGTERM: abandoned") << int(SIGTERM) << 143 << 2 << "abandoned";
        QTest::newRow("SIGHUP: abandoned") << int(SIGHUP) << 129 << 2 << "abandoned";
    }

    void killedMidRun()
    {
        QFETCH(int, signal);
        QFETCH(int, exitCode);
        QFETCH(int, lineCount);
        QFETCH(QString, shown);
        addReceiver("Quillrad", "QR1", 2, {{"control", QJsonObject{{"eraseMs", 20000}}}});
        startSim();
        const QString file = m_Dir.filePath(QStringLiteral("app.bin"));
        QVERIFY(Fixtures::writeFile(file, Fixtures::appImage(20000, Fixtures::Qusd, 0)));
        QProcess p;
        QSignalSpy done(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        p.start(QStringLiteral(QUILLCTL_PATH), {"update", "QR1", "--item", "app0", file, "--yes"});
        QTRY_COMPARE_WITH_TIMEOUT(recordLines().size(), 1, 15000);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(done.wait(5000));
        QCOMPARE(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, exitCode);
        QCOMPARE(recordLines().size(), lineCount);
        QCOMPARE(run({"log"}), 0);
        QVERIFY2(m_Out.contains("app.bin") && m_Out.contains("1.23 -> ?  " + shown.toLatin1()), m_Out);
    }

    void concurrentRecordThenDamaged()
    {
        // Two quillctl processes whose runs overlap: the second starts during the first one's erase.
        addReceiver("Quillrad", "QR1", 2, {{"control", QJsonObject{{"eraseMs", 6000}}}});
        addReceiver("Quillrad", "QR2", 3);
        startSim();
        const QByteArray bytes = Fixtures::appImage(20000, Fixtures::Qusd, 0);
        const QString file = m_Dir.filePath(QStringLiteral("app.bin"));
        QVERIFY(Fixtures::writeFile(file, bytes));
        QProcess a, b;
        QSignalSpy aDone(&a, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        QSignalSpy bDone(&b, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        a.start(QStringLiteral(QUILLCTL_PATH), {"update", "QR1", "--item", "app0", file, "--yes"});
        QTRY_COMPARE_WITH_TIMEOUT(m_Sim->control(0)->runsStarted(), 1, 15000);
        b.start(QStringLiteral(QUILLCTL_PATH), {"update", "QR2", "--item", "app0", file, "--yes"});
        QVERIFY((!aDone.isEmpty() || aDone.wait(60000)) && (!bDone.isEmpty() || bDone.wait(60000)));
        QCOMPARE(a.exitCode() + b.exitCode(), 0);
        QList<QJsonObject> lines = recordLines();
        QCOMPARE(lines.size(), 4);
        QSet<QString> starts, ends;
        for (const QJsonObject& o : lines)
            (o.value("event") == "start" ? starts : ends) << o.value("run").toString();
        QCOMPARE(starts.size(), 2);
        QCOMPARE(ends, starts);

        // A last line cut by a crash mid-write: skipped with one warning, never rewritten; the next starts anew.
        QFile f(m_Record);
        QVERIFY(f.resize(f.size() - 20));
        const QByteArray cut = record();
        QCOMPARE(run({"log"}), 0);
        QCOMPARE(m_Err.count("line"), 1);
        QVERIFY2(m_Err.contains("updates.jsonl line 4: damaged or truncated; skipped"), m_Err);
        const QString sha = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(12);
        QVERIFY2(QString::fromLatin1(m_Out).contains(QRegularExpression("QR\\d +app0 +app.bin +" + sha + " +1.23 -> 1.24 +done +\\d[\\d.]* m?s")), m_Out);
        QCOMPARE(m_Out.count("  interrupted  "), 1);
        QCOMPARE(record(), cut);
        QVERIFY(UpdateRecord::append({{"run", "next"}, {"event", "start"}}, m_Record));
        lines = recordLines();
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[4], (QJsonObject{{"run", "next"}, {"event", "start"}}));
    }

    void unwritableRecord()
    {
        // A state folder that cannot be made: a warning each time, and the run goes on to its end.
        QVERIFY(Fixtures::writeFile(m_Dir.filePath("plain"), "not a folder"));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_Dir.filePath("plain")));
        addReceiver("Quillrad", "QR1", 2);
        startSim();
        const QString file = m_Dir.filePath(QStringLiteral("app.bin"));
        QVERIFY(Fixtures::writeFile(file, Fixtures::appImage(20000, Fixtures::Qusd, 0)));
        QCOMPARE(run({"update", "QR1", "--item", "app0", file, "--yes"}), 0);
        QCOMPARE(m_Err.count("plain/quillfinder/updates.jsonl not written: Not a directory"), 2);
        QCOMPARE(m_Sim->control(0)->runsCompleted(), 1);
    }

};

QTEST_GUILESS_MAIN(tst_Fleet)
#include "tst_fleet.moc"
