#include "CtlRig.h"
#include "FirmwareImage.h"
#include "UpdateRecord.h"

#include <QJsonArray>

#include <QtTest>
#include <csignal>

// What people with many receivers rely on: batches programmed in parallel, and the update record of
// every run, against emulated receivers and the real quillctl.
class tst_Fleet : public QObject, public CtlRig {
    Q_OBJECT
    /// A start line of run `id` for receiver `serial`, the serial padded with 'S' until the line holds
    /// `size` bytes (0: not padded), then a line end unless `last`.
    static QByteArray startLine(const char* id, QString serial, int size = 0, bool last = false)
    {
        const auto line = [&] {
            return QJsonDocument(QJsonObject{{"run", id}, {"event", "start"}, {"time", "2024-05-01T10:00:00.000Z"}, {"item", "app0"},
                                             {"receiver", QJsonObject{{"serial", serial}}}}).toJson(QJsonDocument::Compact);
        };
        if (size > 0)
            serial += QString(size - line().size(), QLatin1Char('S'));
        return line() + (last ? "" : "\n");
    }

private slots:
    void init() { startRig(); }
    void cleanup() { m_Sim.reset(); }

    void parallelBatch_data()
    {
        QTest::addColumn<int>("parallel");
        QTest::addColumn<bool>("interrupt");      // Ctrl-C once the first runs have started
        QTest::addColumn<QList<int>>("programmed");  // per receiver: 1 programmed, 0 not
        // Four Quillrad receivers, the odd ones in Quill Mode: their switches and returns share the finder socket.
        QTest::newRow("one drops its link, QR3 in use is left alone, the others go on") << 4 << false << QList<int>{1, 1, 0, 0};
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
            addReceiver("Quillrad", QStringLiteral("QR%1").arg(i), 2 + i, {{"opMode", i % 2}, {"control", control}, {"status", int(!interrupt && i == 3)}});
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
        for (int i = 0; i < 4; ++i) {
            SimControl* c = m_Sim->control(i);
            QCOMPARE(c->runsCompleted(), programmed[i]);
            // No run is cut but the one whose receiver drops its link; a receiver not started is never touched.
            QCOMPARE(c->runsCut(), !interrupt && i == 2 ? 1 : 0);
            QCOMPARE(c->connectionCount() > 0, i < (interrupt ? 2 : 3));
            QCOMPARE(fields(i).value("opMode").toInt(), i % 2);
        }
        const QString summary = QString::fromLatin1(p.readAllStandardOutput());
        QVERIFY2(summary.contains(QRegularExpression("QR2 +Quillrad +app0 +(failed: the link was lost|not started)")), qPrintable(summary));
        QCOMPARE(summary.contains(QRegularExpression("QR3 +Quillrad +app0 +skipped: in use")), !interrupt);
    }

    void batchImage_data()
    {
        QTest::addColumn<QString>("model");        // of the two receivers programmed; a third, of the other model, answers too
        QTest::addColumn<bool>("all");             // --all --model, or the two serial numbers
        QTest::addColumn<int>("parallel");
        QTest::addColumn<QString>("replacement");  // what the file becomes once the first run has begun
        QTest::newRow("--all, HEX damaged mid-batch") << "Quillrad" << true << 1 << "damaged";
        QTest::newRow("--all Quillix, another model's image") << "Quillix" << true << 1 << "other model";
        QTest::newRow("serials, truncated") << "Quillix" << false << 1 << "truncated";
        QTest::newRow("serials, deleted") << "Quillrad" << false << 1 << "deleted";
        QTest::newRow("--all --parallel 2") << "Quillix" << true << 2 << "";
    }

    void batchImage()
    {
        QFETCH(QString, model);
        QFETCH(bool, all);
        QFETCH(int, parallel);
        QFETCH(QString, replacement);
        const bool quillix = model == "Quillix";
        const quint32 id = quillix ? Fixtures::Quiq : Fixtures::Qusd;
        const QByteArray hex = Fixtures::hexFile(Fixtures::appImage(40000, id, 0));
        const QString file = m_Dir.filePath(QStringLiteral("batch.hex"));
        QVERIFY(Fixtures::writeFile(file, hex));
        const QByteArray written = checkedApp(file, id);
        addReceiver(model, "B1", 2, {{"control", QJsonObject{{"eraseMs", 1500}}}});
        addReceiver(quillix ? "Quillrad" : "Quillix", "B2", 3);
        addReceiver(model, "B3", 4);
        startSim();
        const QStringList targets = all ? QStringList{"--all", "--model", model.toLower()} : QStringList{"B1", "B3"};
        QProcess p;
        QSignalSpy done(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        p.start(QStringLiteral(QUILLCTL_PATH), QStringList{"update"} + targets
                    + QStringList{"--item", "app0", file, "--yes", "--parallel", QString::number(parallel)});
        QTRY_COMPARE_WITH_TIMEOUT(m_Sim->control(0)->runsStarted(), 1, 15000);
        QByteArray damaged = hex;  // one checksum digit wrong halfway down
        const int digit = hex.indexOf('\n', hex.size() / 2) - 1;
        damaged[digit] = damaged[digit] == '0' ? '1' : '0';
        const QMap<QString, QByteArray> replaced{{"damaged", damaged}, {"truncated", hex.left(hex.size() / 2)},
            {"other model", Fixtures::hexFile(Fixtures::appImage(40000, quillix ? Fixtures::Qusd : Fixtures::Quiq, 0))}};
        if (!replacement.isEmpty())
            QVERIFY(replacement == "deleted" ? QFile::remove(file) : Fixtures::writeFile(file, replaced[replacement]));
        QVERIFY(done.wait(60000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError());
        for (int i : {0, 2}) {
            QCOMPARE(m_Sim->control(i)->runsCompleted(), 1);
            QCOMPARE(m_Sim->control(i)->appFlash(0).mid(0x4000, written.size()), written);
        }
        QCOMPARE(m_Sim->control(1)->connectionCount(), 0);
        // Both runs are recorded with the bytes that were checked and sent.
        const QString sha = QCryptographicHash::hash(hex, QCryptographicHash::Sha256).toHex();
        QStringList serials;
        for (const QJsonObject& line : recordLines()) {
            const QJsonObject f = line.value("file").toObject();
            QVERIFY(line.value("event") == "start" ? f.value("sha256") == sha && f.value("size") == hex.size() : line.value("result") == "done");
            serials << line.value("receiver").toObject().value("serial").toString();
        }
        serials.sort();
        QCOMPARE(serials, (QStringList{"", "", "B1", "B3"}));
    }

    // A release for Quillrad: app0 at 3.06 and cfg1 at 7, each file carrying its version.
    QString writeRelease(const QString& appVersion = "3.06", QJsonObject tweak = {})
    {
        const QByteArray app = Fixtures::hexFile(Fixtures::appImage(20000, Fixtures::Qusd, 0, 306));
        const QByteArray cfg = Fixtures::bitFile(Fixtures::designName(SimModels::Quillrad, 1, 7));
        QJsonObject a{{"model", "Quillrad"}, {"item", "app0"}, {"file", "app.hex"}, {"version", appVersion},
                      {"sha256", QString(QCryptographicHash::hash(app, QCryptographicHash::Sha256).toHex())}};
        for (auto it = tweak.begin(); it != tweak.end(); ++it)
            a.insert(it.key(), it.value());
        QJsonArray images{a, QJsonObject{{"model", "Quillrad"}, {"item", "cfg1"}, {"file", "cfg1.bit"}, {"version", "7"}}};
        if (tweak.contains("twice"))
            images.append(images[0]);
        const QString path = m_Dir.filePath("release.json");
        return Fixtures::writeFile(m_Dir.filePath("app.hex"), app) && Fixtures::writeFile(m_Dir.filePath("cfg1.bit"), cfg)
                && Fixtures::writeFile(path, QJsonDocument(QJsonObject{{"release", "2026-12"}, {"images", images}}).toJson()) ? path : QString();
    }
    /// A Quillrad whose app0 and cfg1 report `app` and `cfg`.
    void addBehind(const QString& serial, int host, int app, int cfg, QJsonObject extra = {}, QJsonObject control = {})
    {
        control.insert("versions", QJsonObject{{"4", app}, {"7", cfg}});
        extra.insert("control", control);
        addReceiver("Quillrad", serial, host, extra);
    }

    void apply_data()
    {
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<QString>("appVersion");  // the release's for app0, whose file carries 3.06
        QTest::addColumn<bool>("drop");           // R2 drops its link mid-run
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QList<int>>("runs");     // per receiver R1 R2 R3 R4 X5
        QTest::newRow("mixed fleet") << QStringList{} << "3.06" << false << 0 << QList<int>{0, 1, 2, 0, 0};
        QTest::newRow("--include-in-use") << QStringList{"--include-in-use", "--parallel", "4"} << "3.06" << false << 0 << QList<int>{0, 1, 2, 1, 0};
        QTest::newRow("stale file: verification fails, the next item waits") << QStringList{"--parallel", "4"} << "3.07" << false << 3 << QList<int>{1, 1, 1, 0, 0};
        QTest::newRow("one receiver drops its link") << QStringList{"--parallel", "4"} << "3.06" << true << 3 << QList<int>{0, 1, 2, 0, 0};
    }

    void apply()
    {
        QFETCH(QStringList, flags);
        QFETCH(QString, appVersion);
        QFETCH(bool, drop);
        QFETCH(int, exitCode);
        QFETCH(QList<int>, runs);
        const QString release = writeRelease(appVersion);
        addBehind("R1", 2, 306, 7, {{"opMode", 1}});
        addBehind("R2", 3, 305, 7, {}, drop ? QJsonObject{{"failure", "DropAfterBlocks"}, {"failAfterBlocks", 3}} : QJsonObject{});
        addBehind("R3", 4, 300, 5, {{"opMode", 1}});
        addBehind("R4", 5, 305, 7, {{"status", 1}});
        addReceiver("Quillix", "X5", 6);
        startSim();
        QCOMPARE(run(QStringList{"apply", release, "--yes"} + flags), exitCode);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(m_Sim->control(i)->runsStarted(), runs[i]);
        const QByteArray written = checkedApp(m_Dir.filePath("app.hex"), Fixtures::Qusd);
        QCOMPARE(m_Sim->control(2)->appFlash(0).mid(0x4000, written.size()), written);
        QCOMPARE(fields(2).value("opMode").toInt(), 1);
        const bool inUse = !flags.contains("--include-in-use");
        QVERIFY2(QString(m_Out).contains(QRegularExpression("R4 +Quillrad +app0 +3.05 -> " + appVersion + " +" + (inUse ? "skipped: in use" : "update"))), m_Out);
        if (appVersion != "3.06")
            QVERIFY2(m_Out.contains("programmed, but reports 3.06, not 3.07") && m_Out.contains("R3        cfg1  5"), m_Out);
        for (const QJsonObject& line : recordLines())
            if (line.value("event") == "start")
                QCOMPARE(line.value("release").toString() + " " + line.value("expectedVersion").toString(),
                         "2026-12 " + (line.value("item") == "app0" ? appVersion : "7"));
        QCOMPARE(run({"log", "R3", "--last", "1"}), 0);
        QVERIFY2(QString(m_Out).contains(QRegularExpression("R3 +cfg1 .* 2026-12")) == (appVersion == "3.06"), m_Out);
        if (exitCode != 0)
            return;
        QCOMPARE(run({"apply", release, "--yes"}), 0);
        QCOMPARE(m_Sim->control(2)->runsStarted(), 2);
        QVERIFY2(m_Out.contains(inUse ? "nothing to update" : "all receivers are up to date with 2026-12"), m_Out);
    }

    void badRelease_data()
    {
        QTest::addColumn<QJsonObject>("tweak");  // over the release's app0 image
        QTest::addColumn<QString>("why");
        QTest::newRow("unknown model") << QJsonObject{{"model", "Quillzap"}} << "unknown model \"Quillzap\"";
        QTest::newRow("unknown item") << QJsonObject{{"item", "app2"}} << "unknown item \"app2\"";
        QTest::newRow("twice") << QJsonObject{{"twice", true}} << "images[2]: Quillrad app0 appears twice";
        QTest::newRow("missing file") << QJsonObject{{"file", "gone.hex"}} << "gone.hex is no app0 image for a Quillrad: missing";
        QTest::newRow("another item's file") << QJsonObject{{"file", "cfg1.bit"}} << "cfg1.bit is no app0 image";
        QTest::newRow("SHA-256") << QJsonObject{{"sha256", QString(64, 'a')}} << "not the aaaa";
        QTest::newRow("empty version") << QJsonObject{{"version", " "}} << "images[0]: no version";
        QTest::newRow("not JSON") << QJsonObject{} << "not a JSON object";
    }

    void badRelease()
    {
        QFETCH(QJsonObject, tweak);
        QFETCH(QString, why);
        const QString release = writeRelease("3.06", tweak);
        QVERIFY(!tweak.isEmpty() || Fixtures::writeFile(release, "{\"release\": \"2026-12\", \"images\": ["));
        addBehind("R1", 2, 300, 5);
        startSim();
        for (const QString& command : QStringList{"apply", "status"}) {
            QCOMPARE(run(command == "apply" ? QStringList{"apply", release, "--yes"} : QStringList{"status", "--release", release}), 2);
            QVERIFY2(m_Err.contains(why.toLatin1()) && m_Err.contains("nothing was sent"), m_Err);
        }
        QVERIFY(m_Sim->received().isEmpty());
        QCOMPARE(m_Sim->control(0)->connectionCount(), 0);
    }

    void statusExit_data()
    {
        QTest::addColumn<int>("app");       // R1's app0 version; the release wants 306
        QTest::addColumn<bool>("silent");   // R2 does not serve its control port
        QTest::addColumn<int>("exitCode");  // of status --release and apply --dry-run alike
        QTest::newRow("up to date") << 306 << false << 0;
        QTest::newRow("behind") << 305 << false << 4;
        QTest::newRow("not answering before behind") << 305 << true << 1;
    }

    void statusExit()
    {
        QFETCH(int, app);
        QFETCH(bool, silent);
        QFETCH(int, exitCode);
        const QString release = writeRelease();
        addBehind("R1", 2, app, 7, {{"status", 2}});
        addBehind("R2", 3, 306, 7, silent ? QJsonObject{{"serveTcp", false}} : QJsonObject{});
        addReceiver("Quillix", "X5", 4);
        startSim();
        QCOMPARE(run({"status", "--release", release}), exitCode);
        QVERIFY2(QString(m_Out).contains(QRegularExpression("R1 +Quillrad +198.18.0.2 +yes +" + QString(app == 306 ? "3.06 ok" : "3.05 -> 3.06") + " +1.22 +7 ok +2 +3 +4")), m_Out);
        QCOMPARE(run({"apply", release, "--dry-run"}), exitCode);
        QCOMPARE(m_Sim->control(0)->runsStarted() + (silent ? 0 : m_Sim->control(1)->runsStarted()), 0);
        QCOMPARE(run({"status", "R1", "--json"}), 0);
        QCOMPARE(QJsonDocument::fromJson(m_Out).array().at(0).toObject().value("versions").toObject().value("app0").toString(),
                 app == 306 ? "3.06" : "3.05");
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

    void hostileRecord_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<int>>("skipped");  // lines named as longer than 65536 bytes
        QTest::addColumn<QStringList>("shown");   // the table's RECEIVER cells
        QTest::addColumn<QList<int>>("sizes");    // characters of each serial in --json
        const QByteArray two = startLine("R2", "QR2");
        const QString cut = "QR1SSSSSSSSS...";
        QTest::newRow("65536 bytes: read, the serial cut") << startLine("R1", "QR1", 65536) + two << QList<int>{} << QStringList{cut, "QR2"}
                                                            << QList<int>{65435, 3};
        QTest::newRow("65536 bytes, last, no line end") << two + startLine("R1", "QR1", 65536, true) << QList<int>{} << QStringList{"QR2", cut}
                                                         << QList<int>{3, 65435};
        QTest::newRow("65537 bytes: skipped, the next read") << startLine("R1", "QR1", 65537) + two << QList<int>{1} << QStringList{"QR2"}
                                                              << QList<int>{3};
        QTest::newRow("65537 bytes, last, no line end") << two + startLine("R1", "QR1", 65537, true) << QList<int>{2} << QStringList{"QR2"}
                                                         << QList<int>{3};
        QTest::newRow("three bounds long, between two runs") << startLine("R0", "QR0") + startLine("R1", "QR1", 3 * 65536) + two
                                                              << QList<int>{2} << QStringList{"QR0", "QR2"} << QList<int>{3, 3};
        QTest::newRow("control characters") << startLine("R1", "QR\x1b[2J\r\x07\u202e") << QList<int>{} << QStringList{"QR?[2J???"}
                                            << QList<int>{9};
    }

    void hostileRecord()
    {
        // The record sits in the user's folder: a planted line costs neither memory nor the terminal.
        QFETCH(QByteArray, text);
        QFETCH(QList<int>, skipped);
        QFETCH(QStringList, shown);
        QFETCH(QList<int>, sizes);
        QVERIFY(QDir().mkpath(QFileInfo(m_Record).path()) && Fixtures::writeFile(m_Record, text));
        qputenv("LC_ALL", "C.UTF-8");  // a terminal that shows whatever Unicode reaches it
        QCOMPARE(run({"log"}), 0);
        QCOMPARE(m_Err.count("skipped"), skipped.size());
        for (int n : skipped)
            QVERIFY2(m_Err.contains(QStringLiteral("updates.jsonl line %1: longer than 65536 bytes; skipped").arg(n).toLatin1()), m_Err);
        QStringList cells;
        for (const QString& line : QString::fromUtf8(m_Out).split('\n', Qt::SkipEmptyParts).mid(1))
            cells << line.split(QRegularExpression(" {2,}")).value(1);
        QCOMPARE(cells, shown);
        QVERIFY2(!m_Out.contains('\x1b') && !m_Out.contains('\r') && !m_Out.contains('\x07'), m_Out);
        QCOMPARE(run({"log", "--json"}), 0);
        QList<int> json;
        for (const QJsonValue& v : QJsonDocument::fromJson(m_Out).array())
            json << v["receiver"]["serial"].toString().size();
        QCOMPARE(json, sizes);
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
