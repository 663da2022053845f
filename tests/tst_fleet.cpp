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
    static QByteArray startLine(const char* id, const QString& serial, int size = 0, bool last = false)
    {
        QByteArray line = QJsonDocument(QJsonObject{{"run", id}, {"event", "start"}, {"time", "2024-05-01T10:00:00.000Z"}, {"item", "app0"},
                                                    {"receiver", QJsonObject{{"serial", serial}}}}).toJson(QJsonDocument::Compact);
        line.insert(line.indexOf("\"}"), QByteArray(qMax(size - line.size(), 0), 'S'));  // the serial's closing quote
        return last ? line : line + '\n';
    }

private slots:
    void init() { startRig(); }
    void cleanup() { m_Sim.reset(); }

    void parallelBatch()
    {
        // Ctrl-C once both runs of --parallel 2 are under way: they finish, no new one starts. The odd
        // receivers are in Quill Mode: their switches and returns share the finder socket. The state folder
        // cannot be made: each record line is a warning, and the runs go on to their end.
        QVERIFY(Fixtures::writeFile(m_Dir.filePath("plain"), "not a folder"));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_Dir.filePath("plain")));
        QStringList args{"update"};
        for (int i = 0; i < 4; ++i) {
            args << QStringLiteral("QR%1").arg(i);
            addReceiver("Quillrad", args.last(), 2 + i, {{"opMode", i % 2}, {"control", QJsonObject{{"eraseMs", 1500}}}});
        }
        startSim();
        QCOMPARE(run(args + QStringList{"--item", "app0", appFile("batch.bin", 40000), "--yes", "--parallel", "2"}, [&](QProcess& p) {
            QTRY_VERIFY_WITH_TIMEOUT(m_Sim->control(0)->runsStarted() + m_Sim->control(1)->runsStarted() == 2, 15000);
            // Both at once: neither has finished while the other erases.
            QCOMPARE(m_Sim->control(0)->runsCompleted() + m_Sim->control(1)->runsCompleted(), 0);
            ::kill(pid_t(p.processId()), SIGINT);
        }), 3);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(m_Sim->control(i)->runsCompleted(), int(i < 2));
            // A receiver not started is never touched: no connection, no switch to I/Q Mode and back.
            QCOMPARE(m_Sim->control(i)->connectionCount() > 0, i < 2);
            QCOMPARE(m_Sim->receiver(i).setsAdopted, i == 1 ? 2 : 0);
            QCOMPARE(fields(i).value("opMode").toInt(), i % 2);
        }
        QVERIFY2(QString(m_Out).contains(QRegularExpression("QR2 +Quillrad +app0 +(1.23 +)?not started")), m_Out);
        QCOMPARE(m_Err.count("plain/quillfinder/updates.jsonl not written: Not a directory"), 4);
    }

    void batchImage_data()
    {
        // Of the three receivers, two of one model are programmed; the file changes once the first run has begun.
        QTest::addColumn<bool>("all");  // --all --model quillix, the file then another model's image; else two Quillrads by serial, the file then deleted
        QTest::newRow("--all --model quillix, then another model's image") << true;
        QTest::newRow("two serials, then deleted") << false;
    }

    void batchImage()
    {
        QFETCH(bool, all);
        const QString model = all ? "Quillix" : "Quillrad";
        const quint32 id = all ? Fixtures::Quiq : Fixtures::Qusd;
        const QByteArray hex = Fixtures::hexFile(Fixtures::appImage(40000, id, 0));
        const QString file = m_Dir.filePath(QStringLiteral("batch.hex"));
        QVERIFY(Fixtures::writeFile(file, hex));
        const QByteArray written = checkedApp(file, id);
        addReceiver(model, "B1", 2, {{"control", QJsonObject{{"eraseMs", 1500}}}});
        addReceiver(all ? "Quillrad" : "Quillix", "B2", 3);
        addReceiver(model, "B3", 4);
        startSim();
        const QStringList targets = all ? QStringList{"--all", "--model", "quillix"} : QStringList{"B1", "B3"};
        QCOMPARE(run(QStringList{"update"} + targets + QStringList{"--item", "app0", file, "--yes", "--parallel", "1"}, [&](QProcess&) {
            QTRY_COMPARE_WITH_TIMEOUT(m_Sim->control(0)->runsStarted(), 1, 15000);
            QVERIFY(all ? Fixtures::writeFile(file, Fixtures::hexFile(Fixtures::appImage(40000, Fixtures::Qusd, 0))) : QFile::remove(file));
        }), 0);
        for (int i : {0, 2}) {
            QCOMPARE(m_Sim->control(i)->runsCompleted(), 1);
            QCOMPARE(m_Sim->control(i)->appFlash(0).mid(0x4000, written.size()), written);
        }
        QCOMPARE(m_Sim->control(1)->connectionCount(), 0);
        // Both runs are recorded with the bytes that were checked and sent.
        const QJsonObject sent{{"path", file}, {"size", hex.size()}, {"sha256", QString(QCryptographicHash::hash(hex, QCryptographicHash::Sha256).toHex())}};
        QCOMPARE(record().count(QJsonDocument(sent).toJson(QJsonDocument::Compact)), 2);
        QCOMPARE(record().count("\"result\":\"done\""), 2);
    }

    // A release of app0 at 3.06 and cfg1 at 7 for Quillrad and, as a real release does, the same items for Quillix,
    // from the shared image set whose files carry those versions; `tweak` goes over Quillrad's app0 entry.
    QString writeRelease(QJsonObject tweak = {})
    {
        const QByteArray app = Fixtures::hexFile(Fixtures::appImage(20000, Fixtures::Qusd, 0, 306));
        QJsonObject a{{"model", "Quillrad"}, {"item", "app0"}, {"file", "Quillrad/app0.hex"}, {"version", "3.06"},
                      {"sha256", QString(QCryptographicHash::hash(app, QCryptographicHash::Sha256).toHex())}};
        for (const QString& key : tweak.keys())
            a.insert(key, tweak[key]);
        QJsonArray images{a, QJsonObject{{"model", "Quillrad"}, {"item", "cfg1"}, {"file", "Quillrad/quillrad_cfg01.bit"}, {"version", "7"}},
                          QJsonObject{{"model", "Quillix"}, {"item", "app0"}, {"file", "Quillix/app0.hex"}, {"version", "3.06"}},
                          QJsonObject{{"model", "Quillix"}, {"item", "cfg1"}, {"file", "Quillix/quillix_cfg01.bit"}, {"version", "7"}}};
        if (tweak.contains("twice"))
            images.append(images[0]);
        const QString path = m_Dir.filePath("release.json");
        return Fixtures::writeImageSet(m_Dir.path(), 20000, 306, 7)
                && Fixtures::writeFile(path, QJsonDocument(QJsonObject{{"release", "2026-12"}, {"images", images}}).toJson()) ? path : QString();
    }
    /// A receiver whose app0 and cfg1 report `app` and `cfg`, beside what `extra` sets of its record and control port.
    void addBehind(const QString& serial, int host, int app, int cfg, QJsonObject extra = {}, const QString& model = "Quillrad")
    {
        QJsonObject control = extra.value("control").toObject();
        control.insert("versions", QJsonObject{{"4", app}, {"7", cfg}});
        extra.insert("control", control);
        addReceiver(model, serial, host, extra);
    }

    void outcomes_data()
    {
        QTest::addColumn<QJsonObject>("extra");  // R1's record and control port; R1 is behind on app0, R2 too
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("shown");      // R1's summary row; R2's shows it done
        QTest::newRow("no answer on the control port") << QJsonObject{{"serveTcp", false}} << 1
            << "R1 +Quillrad +- +skipped: not answering \\(no answer on 198.18.0.2:\\d+ within 15 s\\)";
        QTest::newRow("refused start") << QJsonObject{{"control", QJsonObject{{"failure", "UnknownProduct"}}}} << 3
            << "R1 +Quillrad +app0 +3.05 +not started: the receiver reports product ID 0x4e4b4e55, not the 0x44535551 of a Quillrad";
        QTest::newRow("failed run") << QJsonObject{{"control", QJsonObject{{"failure", "AbortApp"}}}} << 3 << "R1 +Quillrad +app0 +3.05 +failed: \\S.*";
    }

    void outcomes()
    {
        // Each way a receiver's run can end, or never start, with its own summary row and exit code.
        QFETCH(QJsonObject, extra);
        QFETCH(int, exitCode);
        QFETCH(QString, shown);
        const QString release = writeRelease();
        addBehind("R1", 2, 305, 7, extra);
        addBehind("R2", 3, 305, 7);
        startSim();
        QCOMPARE(run({"apply", release, "--yes"}), exitCode);
        for (const QString& row : {shown, QStringLiteral("R2 +Quillrad +app0 +3.05 -> 3.06 +done")})
            QVERIFY2(QString(m_Out).contains(QRegularExpression("^" + row + "$", QRegularExpression::MultilineOption)), m_Out);
    }

    void stages_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<bool>("failing");       // every receiver aborts its application runs
        QTest::addColumn<QList<int>>("runs");    // per receiver: R1 R2 of Quillrad, X3 X4 of Quillix, in the order found
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("stages");  // per receiver, in the JSON summary
        const QStringList canary{"--canary", "2", "--parallel", "4"};
        QTest::newRow("apply --canary 2, every receiver failing") << QStringList{"apply", "release.json"} + canary << true << QList<int>{1, 1, 0, 0} << 3
                                                                 << QStringList{"canary", "canary", "rollout", "rollout"};
        QTest::newRow("apply --canary 2, every receiver healthy") << QStringList{"apply", "release.json"} + canary << false << QList<int>{1, 1, 1, 1} << 0
                                                                 << QStringList{"canary", "canary", "rollout", "rollout"};
        QTest::newRow("update --canary 1, every receiver failing") << QStringList{"update", "R1", "R2", "--item", "app0", "Quillrad/app0.hex", "--canary", "1"}
                                                                  << true << QList<int>{1, 0, 0, 0} << 3 << QStringList{"canary", "rollout"};
        QTest::newRow("apply --max-failed 2 --parallel 1") << QStringList{"apply", "release.json", "--max-failed", "2", "--parallel", "1"}
                                                          << true << QList<int>{1, 1, 0, 0} << 3 << QStringList{"", "", "", ""};
    }

    void stages()
    {
        QFETCH(QStringList, command);
        QFETCH(bool, failing);
        QFETCH(QList<int>, runs);
        QFETCH(int, exitCode);
        QFETCH(QStringList, stages);
        QVERIFY(!writeRelease().isEmpty());
        const QJsonObject control = failing ? QJsonObject{{"failure", "AbortApp"}} : QJsonObject{};
        for (int i = 0; i < 4; ++i)
            addBehind(QStringLiteral("%1%2").arg(i < 2 ? "R" : "X").arg(i + 1), 2 + i, 305, 7, {{"control", control}}, i < 2 ? "Quillrad" : "Quillix");
        startSim();
        QCOMPARE(run(command + QStringList{"--yes", "--json"}), exitCode);
        QList<int> started;
        for (int i = 0; i < 4; ++i) {
            started << m_Sim->control(i)->runsStarted();
            // Each model got its own image of the same item.
            const QByteArray image = checkedApp(m_Dir.filePath(i < 2 ? "Quillrad/app0.hex" : "Quillix/app0.hex"), i < 2 ? Fixtures::Qusd : Fixtures::Quiq);
            QVERIFY(failing || m_Sim->control(i)->appFlash(0).mid(0x4000, image.size()) == image);
        }
        QCOMPARE(started, runs);
        // stdout holds the summary's JSON alone; the plan and the progress went to stderr.
        QVERIFY2(QJsonDocument::fromJson(m_Out).isArray(), m_Out);
        QStringList seen;
        for (const QJsonValue& o : QJsonDocument::fromJson(m_Out).array()) {
            if (o["item"] != "app0")
                continue;
            const QString serial = o["serial"].toString();
            const bool ran = m_Sim->control(m_Sim->indexOf(serial))->runsStarted() > 0;
            QCOMPARE(o["model"].toString(), serial.startsWith('R') ? "Quillrad" : "Quillix");
            QCOMPARE(o["before"], ran || command[0] == "apply" ? QJsonValue("3.05") : QJsonValue());  // update reads at the run
            QCOMPARE(o["after"], ran && !failing ? QJsonValue("3.06") : QJsonValue());
            QVERIFY2(o["result"].toString().startsWith(!ran ? "not started" : failing ? "failed: " : "done"), qPrintable(o["result"].toString()));
            seen << o["stage"].toString();
        }
        QCOMPARE(seen, stages);
        QVERIFY2(m_Err.contains(command[0] == "apply" ? "ACTION" : "app0 from app0.hex") && !m_Out.contains("RECEIVER") && !m_Out.contains('%'), m_Err);
    }

    void apply_data()
    {
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<QString>("appVersion");  // the release's for app0, whose file carries 3.06
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QList<int>>("runs");     // per receiver R1 R2 R3 R4 X5
        QTest::addColumn<bool>("interrupt");      // Ctrl-C once R3's first item runs
        QTest::newRow("mixed fleet") << QStringList{} << "3.06" << 0 << QList<int>{0, 1, 2, 0, 0} << false;
        QTest::newRow("--include-in-use") << QStringList{"--include-in-use", "--parallel", "4"} << "3.06" << 0 << QList<int>{0, 1, 2, 1, 0} << false;
        QTest::newRow("stale file: verification fails, the next item waits") << QStringList{"--parallel", "4"} << "3.07" << 3 << QList<int>{1, 1, 1, 0, 0} << false;
        QTest::newRow("Ctrl-C during R3's first of two items") << QStringList{} << "3.06" << 3 << QList<int>{0, 1, 1, 0, 0} << true;
    }

    void apply()
    {
        QFETCH(QStringList, flags);
        QFETCH(QString, appVersion);
        QFETCH(int, exitCode);
        QFETCH(QList<int>, runs);
        QFETCH(bool, interrupt);
        const QString release = writeRelease({{"version", appVersion}});
        addBehind("R1", 2, 306, 7, {{"opMode", 1}});
        addBehind("R2", 3, 305, 7);
        addBehind("R3", 4, 300, 5, {{"opMode", 1}, {"control", QJsonObject{{"eraseMs", interrupt ? 1500 : 0}}}});
        addBehind("R4", 5, 305, 7, {{"status", 1}});
        addBehind("X5", 6, 306, 7, {}, "Quillix");
        startSim();
        const QByteArray r3 = m_Sim->receiver(2).record;
        QCOMPARE(run(QStringList{"apply", release, "--yes"} + flags, [&](QProcess& p) {
            if (interrupt) {
                QTRY_COMPARE_WITH_TIMEOUT(m_Sim->control(2)->runsStarted(), 1, 30000);
                ::kill(pid_t(p.processId()), SIGINT);
            }
        }), exitCode);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(m_Sim->control(i)->runsStarted(), runs[i]);
        // R3's two Sets: its record as it reported it, message type 2, in I/Q Mode (87: 0) for the runs, then back.
        QList<QByteArray> sets;
        for (const QByteArray& d : m_Sim->received())
            if (d.size() > 4 && d[4] == 2 && d.mid(21, 3) == QByteArray("R3", 3))
                sets << d;
        QByteArray toIq = r3, back = r3;
        toIq[4] = back[4] = 2;
        toIq[87] = 0;
        QCOMPARE(sets, (QList<QByteArray>{toIq, back}));
        QCOMPARE(QString(m_Out).contains(QRegularExpression("R3 +Quillrad +cfg1 +5 +not started")), exitCode != 0);
        QCOMPARE(QString(m_Out).contains(QRegularExpression("R3 +Quillrad +app0 +3 -> 3.06 +done")), appVersion == "3.06");
        QCOMPARE(m_Out.contains("programmed, but reports 3.06, not 3.07"), appVersion != "3.06");
        const bool inUse = !flags.contains("--include-in-use");
        QVERIFY2(QString(m_Out).contains(QRegularExpression("R4 +Quillrad +app0 +3.05 -> " + appVersion + " +" + (inUse ? "skipped: in use" : "update"))), m_Out);
        // Every line names the release and the version expected, the end as its start.
        QHash<QString, QString> item;
        for (const QJsonObject& line : recordLines()) {
            const QString run = line.value("run").toString();
            if (line.value("event") == "start")
                item[run] = line.value("item").toString();
            QCOMPARE(line.value("release").toString() + " " + line.value("expectedVersion").toString(),
                     "2026-12 " + (item.value(run) == "app0" ? appVersion : "7"));
        }
        QCOMPARE(run({"log", "R3", "--last", "1"}), 0);
        // Its file, the file's hash cut to 12, the versions before and after, the result, the duration and the release.
        const QString shown = "R3 +cfg1 +quillrad_cfg01.bit +[0-9a-f]{12} +5 -> 7 +done +\\d[\\d.]* m?s +2026-12";
        QVERIFY2(QString(m_Out).contains(QRegularExpression(shown)) == (appVersion == "3.06" && !interrupt), m_Out);
        if (exitCode != 0)
            return;
        QCOMPARE(run({"apply", release, "--yes"}), 0);
        QCOMPARE(m_Sim->control(2)->runsStarted(), 2);
        QVERIFY2(m_Err.contains(inUse ? "nothing to update" : "all receivers are up to date with 2026-12"), m_Err);
    }

    void badRelease_data()
    {
        QTest::addColumn<QJsonObject>("tweak");  // over the release's app0 image
        QTest::addColumn<QString>("why");
        QTest::newRow("unknown model") << QJsonObject{{"model", "Quillzap"}} << "unknown model \"Quillzap\"";
        QTest::newRow("unknown item") << QJsonObject{{"item", "app2"}} << "unknown item \"app2\"";
        QTest::newRow("twice") << QJsonObject{{"twice", true}} << "images[4]: Quillrad app0 appears twice";
        QTest::newRow("missing file") << QJsonObject{{"file", "gone.hex"}} << "gone.hex is no app0 image for a Quillrad: missing";
        QTest::newRow("another item's file") << QJsonObject{{"file", "Quillrad/quillrad_cfg01.bit"}} << "quillrad_cfg01.bit is no app0 image";
        QTest::newRow("SHA-256") << QJsonObject{{"sha256", QString(64, 'a')}} << "not the aaaa";
        QTest::newRow("empty version") << QJsonObject{{"version", " "}} << "images[0]: no version";
        QTest::newRow("not JSON") << QJsonObject{{"text", "{\"release\": \"2026-12\", \"images\": ["}} << "not a JSON object";
        QTest::newRow("no images") << QJsonObject{{"text", "{\"release\": \"2026-12\", \"images\": []}"}} << "\"images\" lists no image";
        QTest::newRow("no name") << QJsonObject{{"text", "{\"images\": [{\"model\": \"Quillrad\", \"item\": \"cfg1\", \"file\": \"Quillrad/quillrad_cfg01.bit\", "
                                                         "\"version\": \"7\"}]}"}} << "\"release\" names no release";
        QTest::newRow("no file") << QJsonObject{{"file", ""}} << "images[0]: no file";
    }

    void badRelease()
    {
        QFETCH(QJsonObject, tweak);
        QFETCH(QString, why);
        const QString release = writeRelease(tweak.contains("text") ? QJsonObject{} : tweak);
        QVERIFY(!tweak.contains("text") || Fixtures::writeFile(release, tweak.value("text").toString().toUtf8()));
        addBehind("R1", 2, 300, 5);
        startSim();
        for (const QString& command : QStringList{"apply", "status"}) {
            QCOMPARE(run(command == "apply" ? QStringList{"apply", release, "--yes"} : QStringList{"status", "--release", release}), 2);
            QVERIFY2(m_Err.contains(why.toLatin1()) && m_Err.contains("nothing was sent"), m_Err);
        }
        QVERIFY(m_Sim->received().isEmpty());
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
        addBehind("X5", 4, 306, 7, {}, "Quillix");
        startSim();
        QCOMPARE(run({"status", "--release", release}), exitCode);
        QVERIFY2(QString(m_Out).contains(QRegularExpression("R1 +Quillrad +198.18.0.2 +yes +" + QString(app == 306 ? "3.06 ok" : "3.05 -> 3.06") + " +1.22 +7 ok +2 +3 +4")), m_Out);
        QCOMPARE(run({"apply", release, "--dry-run"}), exitCode);
        QCOMPARE(m_Sim->control(0)->runsStarted() + (silent ? 0 : m_Sim->control(1)->runsStarted()), 0);
        QCOMPARE(run({"status", "--release", release, "--json"}), exitCode);
        const QJsonArray rows = QJsonDocument::fromJson(m_Out).array();
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].toObject(), (QJsonObject{{"serial", "R1"}, {"model", "Quillrad"}, {"address", "198.18.0.2"}, {"inUse", true},
            {"versions", QJsonObject{{"app0", app == 306 ? "3.06" : "3.05"}, {"app1", "1.22"}, {"cfg1", "7"}, {"cfg2", "2"}, {"cfg3", "3"}, {"cfg4", "4"}}},
            {"problem", QJsonValue()}, {"release", QJsonObject{{"app0", "3.06"}, {"cfg1", "7"}}}}));
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("file");       // empty: the export, applied unchanged
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("sets");              // Set datagrams on the wire
        QTest::addColumn<QJsonObject>("wanted");    // per receiver, the fields it then reports (by the emulator's names)
        QTest::addColumn<QString>("said");          // on stderr
        const QByteArray fleet = R"({"defaults": {"List Server Domain": "fleet.example", "Transmit Password": "********"},
                                     "receivers": {"QX3": {"listserverdomain": "own.example", "TCP Port": 50010}}})";
        QTest::newRow("an export applied unchanged") << QByteArray() << QStringList{} << 0 << 0 << QJsonObject{} << "nothing to change";
        QJsonObject taken{{"QR1", QJsonObject{{"listServerUrl", "fleet.example"}, {"txPassword", "tx-secret"}}},
                          {"QX3", QJsonObject{{"listServerUrl", "own.example"}, {"tcpPort", 50010}}}};
        QTest::newRow("defaults and overrides, in use left alone") << fleet << QStringList{} << 0 << 2 << taken << "";
        taken.insert("QR2", QJsonObject{{"listServerUrl", "fleet.example"}});
        QTest::newRow("--include-in-use") << fleet << QStringList{"--include-in-use"} << 0 << 3 << taken << "";
        QTest::newRow("--dry-run") << fleet << QStringList{"--dry-run"} << 4 << 0 << QJsonObject{{"QR1", QJsonObject{{"listServerUrl", "one.example"}}}} << "";
        QTest::newRow("an address change, confirmed at the new address") << QByteArray(R"({"receivers": {"QR1": {"TCP IP Adr": "198.18.0.9"}}})")
            << QStringList{} << 0 << 1 << QJsonObject{{"QR1", QJsonObject{{"address", "198.18.0.9"}}}} << "";
        QTest::newRow("a receiver that never adopts") << QByteArray(R"({"receivers": {"QX3": {"Quill-xx Description": "Roof 40 m"}}})")
            << QStringList{"--confirm-timeout", "1500"} << 3 << 1 << QJsonObject{} << "did not confirm its settings within 1500 ms";
        QTest::newRow("a receiver not found") << QByteArray(R"({"receivers": {"QR9": {"TCP Port": 1}, "QR1": {"TCP Port": 50001}}})")
            << QStringList{} << 1 << 1 << QJsonObject{{"QR1", QJsonObject{{"tcpPort", 50001}}}} << "";
        QTest::newRow("three defects, each named") << QByteArray(R"({"receivers": {"QR1": {"Colour": 1, "Serial Number": "x", "TCP Port": 70000}}})")
            << QStringList{} << 2 << 0 << QJsonObject{}
            << "\"Colour\"[\\s\\S]*\"Serial Number\" is not a setting[\\s\\S]*TCP Port: a port number 0-65535[\\s\\S]*refused; nothing was sent";
        QTest::newRow("a gateway outside the subnet") << QByteArray(R"({"receivers": {"QR1": {"GateWay IP": "10.0.0.1"}}})")
            << QStringList{} << 2 << 0 << QJsonObject{} << "QR1: .*--force sends it anyway";
    }

    void settings()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, flags);
        QFETCH(int, exitCode);
        QFETCH(int, sets);
        QFETCH(QJsonObject, wanted);
        QFETCH(QString, said);
        addReceiver("Quillrad", "QR1", 2, {{"txPassword", "tx-secret"}, {"listServerUrl", "one.example"}});
        addReceiver("Quillrad", "QR2", 3, {{"status", 1}, {"listServerUrl", "two.example"}});
        addReceiver("Quillix", "QX3", 4, {{"adoptDelayMs", file.contains("Roof") ? 60000 : 0}});
        startSim();
        const QVector<QJsonObject> before{fields(0), fields(1), fields(2)};
        QCOMPARE(run({"settings", "export", "--show-secrets"}), 0);
        QCOMPARE(QJsonDocument::fromJson(m_Out)["receivers"]["QR1"]["Transmit Password"].toString(), "tx-secret");
        QCOMPARE(run({"settings", "export"}), 0);
        QCOMPARE(QJsonDocument::fromJson(m_Out)["receivers"].toObject().keys(), (QStringList{"QR1", "QR2", "QX3"}));
        QVERIFY2(!m_Out.contains("tx-secret") && m_Out.contains("\"Transmit Password\": \"********\""), m_Out);
        m_Sim->clearReceived();
        QVERIFY(Fixtures::writeFile(m_Dir.filePath("settings.json"), file.isEmpty() ? m_Out : file));
        QCOMPARE(run(QStringList{"settings", "apply", "settings.json", "--yes"} + flags), exitCode);
        QCOMPARE(setsOnWire(), sets);
        QVERIFY2(QString(m_Err).contains(QRegularExpression(said)), m_Err);
        if (exitCode == 2 && !file.contains("GateWay"))
            QVERIFY(m_Sim->received().isEmpty());
        // What was wanted, and every other field as it was.
        for (int i = 0; i < 3; ++i) {
            QVariantMap want = before[i].toVariantMap();
            want.insert(wanted.value(m_Sim->receiver(i).serial()).toObject().toVariantMap());
            QCOMPARE(fields(i).toVariantMap(), want);
        }
        QCOMPARE(recordLines().size(), sets);
        if (exitCode != 0 || sets == 0)
            return;
        if (sets > 1)
            QCOMPARE(recordLines()[0]["changes"].toObject(), (QJsonObject{{"List Server Domain", QJsonObject{{"before", "one.example"}, {"after", "fleet.example"}}}}));
        // A second apply of the same file finds nothing to change.
        QCOMPARE(run(QStringList{"settings", "apply", "settings.json", "--yes"} + flags), 0);
        QCOMPARE(setsOnWire(), sets);
    }

    void killedMidRun_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitCode");  // -1: killed, a start without an end shown as interrupted; else abandoned
        QTest::newRow("SIGKILL") << int(SIGKILL) << -1;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
        QTest::newRow("SIGHUP") << int(SIGHUP) << 129;
    }

    void killedMidRun()
    {
        QFETCH(int, signal);
        QFETCH(int, exitCode);
        addReceiver("Quillrad", "QR1", 2, {{"control", QJsonObject{{"eraseMs", 20000}}}});
        startSim();
        QCOMPARE(run({"update", "QR1", "--item", "app0", appFile(), "--yes"}, [&](QProcess& p) {
            QTRY_COMPARE_WITH_TIMEOUT(recordLines().size(), 1, 15000);
            ::kill(pid_t(p.processId()), signal);
        }), exitCode);
        QCOMPARE(recordLines().size(), exitCode < 0 ? 1 : 2);
        QCOMPARE(run({"log"}), 0);
        QVERIFY2(m_Out.contains("app.bin") && m_Out.contains(exitCode < 0 ? "1.23 -> ?  interrupted" : "1.23 -> ?  abandoned"), m_Out);
    }

    void hostileRecord_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("warnings");   // on stderr, the record's path written as r
        QTest::addColumn<QStringList>("shown");  // the table's RECEIVER cells
        QTest::addColumn<QList<int>>("sizes");   // characters of each serial in --json
        const QByteArray two = startLine("R2", "QR2");
        const QString cut = "QR1SSSSSSSSS...", tooLong = "quillctl: r line %1: longer than 65536 bytes; skipped\n";
        QTest::newRow("65536 bytes: read, the serial cut") << startLine("R1", "QR1", 65536) + two << "" << QStringList{cut, "QR2"} << QList<int>{65435, 3};
        QTest::newRow("65536 bytes, last, no line end") << two + startLine("R1", "QR1", 65536, true) << "" << QStringList{"QR2", cut} << QList<int>{3, 65435};
        QTest::newRow("65537 bytes: skipped, the next read") << startLine("R1", "QR1", 65537) + two << tooLong.arg(1) << QStringList{"QR2"} << QList<int>{3};
        QTest::newRow("65537 bytes, last, no line end") << two + startLine("R1", "QR1", 65537, true) << tooLong.arg(2) << QStringList{"QR2"} << QList<int>{3};
        QTest::newRow("three bounds long, between two runs") << startLine("R0", "QR0") + startLine("R1", "QR1", 3 * 65536) + two
                                                              << tooLong.arg(2) << QStringList{"QR0", "QR2"} << QList<int>{3, 3};
        QTest::newRow("a last line cut by a crash") << two + startLine("R1", "QR1").left(40) << "quillctl: r line 2: damaged or truncated; skipped\n"
                                                    << QStringList{"QR2"} << QList<int>{3};
        QTest::newRow("control characters") << startLine("R1", "QR\x1b[2J\r\x07\u202e") << "" << QStringList{"QR?[2J???"} << QList<int>{9};
    }

    void hostileRecord()
    {
        // The record sits in the user's folder: a planted line costs neither memory nor the terminal.
        QFETCH(QByteArray, text);
        QFETCH(QString, warnings);
        QFETCH(QStringList, shown);
        QFETCH(QList<int>, sizes);
        QVERIFY(QDir().mkpath(QFileInfo(m_Record).path()) && Fixtures::writeFile(m_Record, text));
        qputenv("LC_ALL", "C.UTF-8");  // a terminal that shows whatever Unicode reaches it
        QCOMPARE(run({"log"}), 0);
        QCOMPARE(QString(m_Err).replace(m_Record, "r"), warnings);
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
        // Never rewritten; a line then written, after one a crash left without its line end, stands on its own.
        QCOMPARE(record(), text);
        QVERIFY(UpdateRecord::append({{"run", "next"}, {"event", "start"}}, m_Record));
        QCOMPARE(recordLines().last(), (QJsonObject{{"run", "next"}, {"event", "start"}}));
    }
};

QTEST_GUILESS_MAIN(tst_Fleet)
#include "tst_fleet.moc"
