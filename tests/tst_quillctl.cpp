#include "CtlRig.h"
#include "DiscoveryCycle.h"
#include "FirmwareImage.h"
#include "ReceiverModel.h"

#include <QtTest>
#include <csignal>
#include <sys/stat.h>

struct SetRow {
    QStringList args;  // assignments, and options
    int adoptMs;       // the receiver adopts a Set this long after it; -1: never, it keeps its old record
    int exitCode;
    int sets;          // Set datagrams the receiver saw
    QString key;       // emulator's name of a field to check, and its value after the run
    QVariant value;
    QString said;      // on stdout or stderr
};
Q_DECLARE_METATYPE(SetRow)

struct UpdateRow {
    QString failure;  // the emulator's failure mode for QR1
    int bank;         // of the file given for --item app0
    bool batch;       // a Quillix receiver joins the run, which a Quillrad file does not fit
    int exitCode;
    QString why;      // on stderr
    QString result;   // in the update record; empty: nothing recorded
    int sent;         // bytes, in the update record
};
Q_DECLARE_METATYPE(UpdateRow)

// quillctl's commands against emulated receivers, over real sockets in the test's private network.
class tst_Quillctl : public QObject, public CtlRig {
    Q_OBJECT
private slots:
    void init() { startRig(); }
    void cleanup() { m_Sim.reset(); }

    void set_data()
    {
        QTest::addColumn<SetRow>("row");
        const auto row = [](const char* name, const SetRow& r) { QTest::newRow(name) << r; };
        row("adopted and confirmed", {{"TCP Port=50010", "quill-xx description=Roof"}, 0, 0, 1, "tcpPort", 50010, "TCP Port: 50000 -> 50010: adopted"});
        row("port beyond 65535: nothing on the wire", {{"TCP Port=70000"}, 0, 2, 0, "tcpPort", 50000, "TCP Port: a port number 0-65535, plain digits"});
        row("RF range on a model without one", {{"RF Port 2 Auto Range Min=2"}, 0, 2, 0, "rfPortMin", 0, "RF Port 2 Auto Range Min: this model has no"});
        row("gateway outside the subnet", {{"GateWay IP=10.0.0.1"}, 0, 2, 0, "gateway", "198.18.0.254",
                                           "gateway 10.0.0.1 is outside the subnet 198.18.0.0/24 of 198.18.0.2; nothing was sent (--force sends it anyway)"});
        row("the same with --force", {{"GateWay IP=10.0.0.1", "--force"}, 0, 0, 1, "gateway", "10.0.0.1", "GateWay IP: 198.18.0.254 -> 10.0.0.1: adopted"});
        row("broadcast address", {{"TCP IP Adr=198.18.0.255"}, 0, 2, 0, "address", "198.18.0.2", "address 198.18.0.255 is the broadcast address of 198.18.0.0/24"});
        row("network address", {{"TCP IP Adr=198.18.0.0"}, 0, 2, 0, "address", "198.18.0.2", "address 198.18.0.0 is the network address of 198.18.0.0/24"});
        row("the first host address", {{"TCP IP Adr=198.18.0.1"}, 0, 0, 1, "address", "198.18.0.1", "TCP IP Adr: 198.18.0.2 -> 198.18.0.1: adopted"});
        row("the last host address of a /28", {{"TCP IP Adr=198.18.0.30", "SubNet Mask=255.255.255.240", "GateWay IP=198.18.0.17"}, 0, 0, 1,
                                               "address", "198.18.0.30", "TCP IP Adr: 198.18.0.2 -> 198.18.0.30: adopted"});
        const QStringList limit{"Connection Time Limit=30"};
        row("receiver ignores the Set", {limit, -1, 3, 1, "timeout", 0, "Connection Time Limit: 0 Min -> 30 Min: NOT adopted (the receiver reports 0 Min)"});
        // Discovery cycles ask 1.25, 1.75, 2.25 and 2.75 s after the Set, within --confirm-timeout 3000.
        row("adopted after the first cycle, within the timeout", {limit, 2000, 0, 1, "timeout", 30, "Connection Time Limit: 0 Min -> 30 Min: adopted"});
        row("adopted after the timeout", {limit, 4500, 3, 1, "timeout", 0, "QR1 did not confirm the change within 3000 ms"});
        row("password of 17", {{"Transmit Password=0123456789abcdefX"}, 0, 2, 0, "txPassword", "secret", "Transmit Password: at most 16 characters"});
    }

    void set()
    {
        QFETCH(SetRow, row);
        const auto& [args, adoptMs, exitCode, sets, key, value, said] = row;
        addReceiver("Quillrad", "QR1", 2, {{"tcpPort", 50000}, {"opMode", 1}, {"adoptDelayMs", qMax(adoptMs, 0)}});
        startSim();
        const QByteArray before = m_Sim->receiver(0).record;
        if (adoptMs < 0)
            connect(m_Sim.get(), &QuillSim::setAdopted, this, [&](int i) { m_Sim->receiver(i).record = before; });
        QCOMPARE(run(QStringList{"set", "QR1", "--confirm-timeout", "3000"} + args), exitCode);
        QCOMPARE(setsOnWire(), sets);
        QCOMPARE(fields(0).value(key).toVariant(), value);
        QVERIFY2((m_Out + m_Err).contains(said.toLatin1()), m_Out + m_Err);
        if (args[0].startsWith("TCP Port=7"))
            QVERIFY(m_Sim->received().isEmpty());  // refused before discovery too
    }

    void secrets_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("printed");  // a pattern stdout matches, ^ and $ at line ends
        const QString table = "^Receive Password +\nTransmit Password +%1$";
        const QString json = "\"Receive Password\": \"\",[\\s\\S]*\"Transmit Password\": \"%1\"";
        // All 16 characters a password holds go out.
        const QString typed = "Transmit Password=sixteen-chars-pw";
        QTest::newRow("show") << QStringList{"show", "QX1"} << table.arg("\\*{8}");
        QTest::newRow("show --show-secrets") << QStringList{"show", "QX1", "--show-secrets"} << table.arg("hunter2");
        QTest::newRow("show --json") << QStringList{"show", "QX1", "--json"} << json.arg("\\*{8}");
        QTest::newRow("show --json --show-secrets") << QStringList{"show", "QX1", "--json", "--show-secrets"} << json.arg("hunter2");
        QTest::newRow("find --json") << QStringList{"find", "--json"} << json.arg("\\*{8}");
        QTest::newRow("find --json --show-secrets") << QStringList{"find", "--json", "--show-secrets"} << json.arg("hunter2");
        QTest::newRow("set") << QStringList{"set", "QX1", typed} << "^Transmit Password: \\*{8} -> \\*{8}: adopted$";
        QTest::newRow("set --show-secrets") << QStringList{"set", "QX1", typed, "--show-secrets"} << "^Transmit Password: hunter2 -> sixteen-chars-pw: adopted$";
        QTest::newRow("set over an empty password") << QStringList{"set", "QX1", "Receive Password=rx-pass-1"}
                                                    << "^Receive Password:  -> \\*{8}: adopted$";
    }

    void secrets()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, printed);
        addReceiver("Quillix", "QX1", 2, {{"txPassword", "hunter2"}});
        startSim();
        QCOMPARE(run(args + QStringList{"--verbose"}), 0);
        const QString out = QString::fromLatin1(m_Out);
        QVERIFY2(out.contains(QRegularExpression(printed, QRegularExpression::MultilineOption)), m_Out);
        // A password is printed only when asked for, and never among the debug lines.
        const QRegularExpression password("hunter2|sixteen-chars-pw|rx-pass-1");
        QCOMPARE(out.contains(password), args.contains("--show-secrets"));
        QVERIFY2(m_Err.contains("UDP") && !QString::fromLatin1(m_Err).contains(password), m_Err);
        if (args[0] == "set")  // the receiver holds what was typed
            QCOMPARE(fields(0).value(args[2].startsWith("Receive") ? "rxPassword" : "txPassword").toString(), args[2].section('=', 1));
    }

    void update_data()
    {
        QTest::addColumn<UpdateRow>("row");
        const auto row = [](const char* name, const UpdateRow& r) { QTest::newRow(name) << r; };
        // 20000 bytes from position 0x4000, then the CRC the reader stamps behind them and one fill byte.
        row("programmed, back in Quill Mode", {"None", 0, false, 0, "QR1 app0 100%", "done", 20005});
        row("link dropped mid-run", {"DropAfterBlocks", 0, false, 3, "QR1: failed: the link was lost during the run", "link-lost", 5 * 1024});
        row("receiver aborts", {"AbortApp", 0, false, 3, "QR1: failed: the receiver aborted the application run", "app-aborted", 5 * 1024});
        row("receiver of another product ID", {"UnknownProduct", 0, false, 3, "QR1: not started: the receiver reports product ID 0x4e4b4e55", "", 0});
        row("bank 1 file for app0", {"None", 1, false, 2, "wrong size, product ID, bank", "", 0});
        row("batch with a file one receiver refuses", {"None", 0, true, 2, "does not fit app0 of QX2 (Quillix)", "", 0});
        row("Ctrl-C while discovery listens", {"None", 0, false, 130, "interrupted; nothing was programmed", "", 0});
    }

    void update()
    {
        QFETCH(UpdateRow, row);
        const auto& [failure, bank, batch, exitCode, why, result, sent] = row;
        const QString file = m_Dir.filePath(QStringLiteral("app.bin"));
        const QByteArray bytes = Fixtures::appImage(20000, Fixtures::Qusd, quint8(bank));
        QVERIFY(Fixtures::writeFile(file, bytes));
        // In use: programmed only because --include-in-use says so.
        addReceiver("Quillrad", "QR1", 2, {{"opMode", 1}, {"txPassword", "tx-hunter2"}, {"status", 1},
                                           {"control", QJsonObject{{"failure", failure}, {"failAfterBlocks", 5}}}});
        if (batch)
            addReceiver("Quillix", "QX2", 3, {{"opMode", 0}});
        startSim();
        QStringList args{"update", "QR1", "--item", "app0", "app.bin", "--yes", "--include-in-use", "--timeout", "1500"};
        if (batch)
            args.insert(2, "QX2");
        const QByteArray written = checkedApp(file, Fixtures::Qusd);
        // The file changes while discovery listens: the receiver gets, and the record names, what was read and checked.
        QCOMPARE(run(args, [&](QProcess& p) {
            if (row.result.isEmpty() && row.exitCode != 130)
                return;
            QTRY_VERIFY_WITH_TIMEOUT(!m_Sim->received().isEmpty(), 5000);
            if (row.exitCode == 130)
                ::kill(pid_t(p.processId()), SIGINT);
            else
                QVERIFY(Fixtures::writeFile(file, Fixtures::appImage(20000, Fixtures::Qusd, 0, 199)));
        }), exitCode);
        // Progress and reasons go to stderr; stdout keeps only results.
        QVERIFY2(m_Err.contains(why.toLatin1()), m_Err);
        QVERIFY2(!m_Out.contains('%'), m_Out);
        // A start and an end for a run that began; nothing for one refused before any traffic.
        const QList<QJsonObject> rec = recordLines();
        QCOMPARE(rec.size(), result.isEmpty() ? 0 : 2);
        if (!result.isEmpty()) {
            const QJsonObject &start = rec[0], &end = rec[1];
            QCOMPARE(end.value("run"), start.value("run"));
            QCOMPARE(start.value("program").toString() + start.value("item").toString(), "quillctlapp0");
            QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$").match(end.value("time").toString()).hasMatch());
            QCOMPARE(start.value("receiver").toObject(), (QJsonObject{{"model", "Quillrad"}, {"serial", "QR1"}, {"mac", fields(0).value("mac")},
                                                                      {"address", "198.18.0.2"}, {"port", fields(0).value("tcpPort")}}));
            QCOMPARE(start.value("file").toObject(), (QJsonObject{{"path", file}, {"size", bytes.size()},
                                                                  {"sha256", QString(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())}}));
            QCOMPARE(end.value("result").toString(), result);
            QCOMPARE(end.value("bytesSent").toInt(), sent);
            QCOMPARE(start["versionsBefore"]["App Firm 0"].toString() + " -> " + end["versionsAfter"]["App Firm 0"].toString("none"),
                     result == "done" ? "1.23 -> 1.24" : "1.23 -> none");
            struct stat st;
            QCOMPARE(::stat(QFile::encodeName(m_Record).constData(), &st) == 0 ? st.st_mode & 0777 : 0u, 0600u);
            // Of the receiver's settings only those that name it: no password, no description.
            QVERIFY(!record().contains("hunter2") && !record().contains(fields(0).value("description").toString().toLatin1()));
        }
        if (exitCode == 2 || exitCode == 130) {
            // Refused or interrupted before a Set or a connection reached any receiver; a file no model takes, before any datagram.
            for (int i = 0; i < m_Sim->count(); ++i)
                QCOMPARE(m_Sim->control(i)->connectionCount(), 0);
            QCOMPARE(setsOnWire(), 0);
            QCOMPARE(m_Sim->received().isEmpty(), exitCode == 2 && !batch);
            return;
        }
        QCOMPARE(m_Sim->control(0)->runsCompleted(), exitCode == 0 ? 1 : 0);
        // Switched to I/Q Mode for the run and back afterwards, whatever the run's outcome.
        QCOMPARE(m_Sim->receiver(0).setsAdopted, 2);
        QCOMPARE(fields(0).value("opMode").toInt(), 1);
        if (exitCode != 0)
            return;
        QCOMPARE(m_Sim->control(0)->appFlash(0).mid(0x4000, written.size()), written);
        QVERIFY2(m_Err.contains("QR1: Boot Version 1.05, HW Version 2, App Firm 0 1.24"), m_Err);
    }

    void everyModel_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("after");  // the item's version after the run
        QTest::addColumn<bool>("json");  // info as JSON, else as its table
        QTest::newRow("Quillix cfg2") << "Quillix" << "cfg2" << "13" << true;
        QTest::newRow("Quillrad app1") << "Quillrad" << "app1" << "1.46" << false;
        QTest::newRow("Quillrad cfg4") << "Quillrad" << "cfg4" << "15" << true;
    }

    void everyModel()
    {
        QFETCH(QString, model);
        QFETCH(QString, item);
        QFETCH(QString, after);
        QFETCH(bool, json);
        // Eight distinct versions, and ids 1, 3 and 6 between them distinct again.
        addReceiver(model, "Q1", 2, {{"control", QJsonObject{{"versions", QJsonObject{{"0", 101}, {"1", 909}, {"2", 302}, {"3", 808}, {"4", 123},
                                                 {"5", 145}, {"6", 707}, {"7", 11}, {"8", 12}, {"9", 13}, {"10", 14}}}}}});
        startSim();
        const int n = item.right(1).toInt();
        const bool cfg = item.startsWith("cfg");
        const SimModel& m = *SimModels::byName(model);
        const QByteArray bytes = cfg ? Fixtures::bitFile(Fixtures::designName(m, n, after.toInt()) + '\0', 9000) : Fixtures::appImage(20000, m.productId, quint8(n), qRound(after.toDouble() * 100));
        const QString file = m_Dir.filePath(cfg ? "image.bit" : "image.bin");
        QVERIFY(Fixtures::writeFile(file, bytes));
        QCOMPARE(run({"update", "Q1", "--item", item, file, "--yes"}), 0);
        if (cfg)
            QCOMPARE(m_Sim->control(0)->cfgSlot(n - 1).left(bytes.size()), bytes);
        else
            // From position 0x4000, with the CRC's position 0x8e20 stamped at 0x4200.
            QCOMPARE(m_Sim->control(0)->appFlash(n).mid(0x4000, bytes.size()), QByteArray(bytes).replace(0x200, 4, QByteArray::fromHex("208e0000")));
        // The next info shows the receiver's product ID and every version under its own name.
        QCOMPARE(run(json ? QStringList{"info", "Q1", "--json"} : QStringList{"info", "Q1"}), 0);
        QJsonObject got = QJsonDocument::fromJson(m_Out).object();
        const QRegularExpression gap(" {2,}");
        for (const QString& line : json ? QStringList() : QString::fromLatin1(m_Out).split('\n'))
            got.insert(line.section(gap, 0, 0), line.section(gap, 1));
        QJsonObject want{{"Model", model}, {"Product ID", model == "Quillix" ? "0x51495551" : "0x44535551"}, {"Boot Version", "1.01"},
                         {"HW Version", "3.02"}, {"App Firm 0", "1.23"}, {"App Firm 1", "1.45"}, {"Config 1", "11"}, {"Config 2", "12"}, {"Config 3", "13"}, {"Config 4", "14"}};
        want.insert(QString(cfg ? "Config %1" : "App Firm %1").arg(n), after);
        for (auto it = want.begin(); it != want.end(); ++it)
            QCOMPARE(it.key() + ": " + got.value(it.key()).toString(), it.key() + ": " + it.value().toString());
    }

    void log_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("listed");  // runs by file, Sets as "settings", in order
        const QStringList all{"a.bin", "settings", "b.bin", "settings", "c.bin"};
        QTest::newRow("runs and Sets in file order, newest last") << QStringList() << all;
        QTest::newRow("--last 1") << QStringList{"--last", "1"} << QStringList{"c.bin"};
        QTest::newRow("--last 2, as JSON, each line's own keys") << QStringList{"--last", "2", "--json"} << QStringList{"settings", "c.bin"};
        QTest::newRow("--last 6, above the count") << QStringList{"--last", "6"} << all;
        QTest::newRow("one receiver's, not those of QR10") << QStringList{"QR1"} << QStringList{"a.bin", "settings", "c.bin"};
        QTest::newRow("one receiver's last 2") << QStringList{"QR1", "--last", "2"} << QStringList{"settings", "c.bin"};
        QTest::newRow("QR10's as JSON") << QStringList{"QR10", "--json"} << QStringList{"b.bin", "settings"};
    }

    void log()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, listed);
        // QR10's run started while QR1's first still ran and was killed before its end; the Sets' times are
        // out of file order: the log goes by the file, as the lines were appended.
        QVERIFY(QDir().mkpath(QFileInfo(m_Record).path()));
        QVERIFY(Fixtures::writeFile(m_Record, R"({"run":"1","event":"start","receiver":{"serial":"QR1"},"item":"app0","file":{"path":"/i/a.bin"}}
{"event":"settings","time":"2026-01-01T12:00:00.000Z","receiver":{"serial":"QR1"},"changes":{"TCP Port":{"before":50000,"after":50001},"Receive Password":{"before":"","after":"********"}}}
{"run":"2","event":"start","time":"2026-01-01T10:00:00.000Z","receiver":{"serial":"QR10"},"item":"app0","file":{"path":"/i/b.bin"}}
{"run":"1","event":"end","result":"done"}
{"event":"settings","time":"2026-01-01T11:00:00.000Z","receiver":{"serial":"QR10"},"changes":{"Latitude":{"before":"1","after":"2"}}}
{"run":"3","event":"start","receiver":{"serial":"QR1"},"item":"app1","file":{"path":"/i/c.bin"}}
{"run":"3","event":"end","result":"ack-timeout"}
)"));
        QCOMPARE(run(QStringList{"log"} + args), 0);
        QStringList seen;
        for (auto it = QRegularExpression("\\w\\.bin|settings").globalMatch(QString::fromLatin1(m_Out)); it.hasNext();)
            seen << it.next().captured();
        QCOMPARE(seen, listed);
        if (args.contains("--json")) {
            QCOMPARE(QJsonDocument::fromJson(m_Out)[listed.indexOf("settings")]["changes"]["Latitude"]["after"], QJsonValue("2"));
        } else {
            // The changed keys where a run's file stands, no version, and the Set as sent.
            const QRegularExpression row(" QR1 +settings +Receive Password, TCP Port +- +sent +- *$| QR10 +settings +Latitude +- +sent +- *$");
            for (const QByteArray& line : m_Out.split('\n'))
                QVERIFY2(!line.contains("settings") || row.match(QString::fromLatin1(line)).hasMatch(), line);
        }
    }

    void allInterfaces()
    {
        addReceiver("Quillrad", "QR1", 2, {{"serveTcp", false}});
        startSim();
        // A second network, 198.19.0.0/24 behind qf2, whose only receiver is an emulator in a namespace of its own.
        const QString config = m_Dir.filePath(QStringLiteral("second.json"));
        QVERIFY(Fixtures::writeFile(config, R"({"receivers": [{"model": "Quillix", "serial": "QX9",
                                                  "address": "198.19.0.2", "serveTcp": false}]})"));
        QProcess second;
        second.start("unshare", {"-n", "sh", "-c",
                                 "while ! ip link show qf3 >/dev/null 2>&1; do sleep 0.05; done; ip link set lo up; "
                                 "ip addr add 198.19.0.2/24 dev qf3; ip link set qf3 up; exec \"$0\" \"$1\"",
                                 QUILLSIM_PATH, config});
        QVERIFY(second.waitForStarted());
        const QString pid = QString::number(second.processId());
        const QString link = "ip link add qf2 type veth peer name qf3 netns " + pid
                             + " && ip addr add 198.19.0.1/24 dev qf2 && ip link set qf2 up";
        QCOMPARE(QProcess::execute("sh", {"-c", link}), 0);
        QByteArray secondLog;
        QTRY_VERIFY2_WITH_TIMEOUT((secondLog += second.readAllStandardError()).contains("QX9"), secondLog, 30000);
        // The default route's network only, then every interface: only the second finds QX9, through qf2.
        QStringList interfaces;
        for (const QStringList& extra : {QStringList{"--json"}, QStringList{"--all-interfaces"}}) {
            QCOMPARE(run(QStringList{"find"} + extra), 0);
            interfaces << QRegularExpression("QX9 .* (\\S+)\n").match(QString(m_Out)).captured(1);
        }
        QCOMPARE(interfaces, (QStringList{QString(), "qf2"}));
        // SIGTERM ends the emulator cleanly; its namespace, and the veth pair with it, goes with it.
        second.terminate();
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
    }

    void wholeFleet_data()
    {
        QTest::addColumn<int>("offered");
        QTest::addColumn<int>("listed");
        QTest::addColumn<int>("delay");  // ms before each answer
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("runs");
        QTest::newRow("33, one past the window's rows") << 33 << 33 << 0 << QStringList() << 1;
        QTest::newRow("250 answering at once, three times") << 250 << 250 << 0 << QStringList() << 3;
        QTest::newRow("an answer after 700 ms, past the 500 ms listen") << 1 << 0 << 700 << QStringList() << 1;
        QTest::newRow("the same with --timeout 1500") << 1 << 1 << 700 << QStringList{"--timeout", "1500"} << 1;
    }

    void wholeFleet()
    {
        QFETCH(int, offered);
        QFETCH(int, listed);
        QFETCH(int, delay);
        QFETCH(QStringList, args);
        QFETCH(int, runs);
        for (int i = 0; i < offered; ++i)
            addReceiver(Models::All[size_t(i % Models::Count)].name, QStringLiteral("QR%1").arg(i, 4, 10, QLatin1Char('0')), 2 + i,
                        {{"opMode", i % 3}, {"replyDelayMs", delay}});
        startSim();
        for (int r = 0; r < runs; ++r) {
            QCOMPARE(run(QStringList{"find", "--json"} + args), listed ? 0 : 1);
            QSet<int> seen;
            for (const QJsonValue& v : QJsonDocument::fromJson(m_Out).array()) {
                const QJsonObject o = v.toObject();
                const int i = m_Sim->indexOf(o.value("Serial Number").toString());
                QVERIFY(i >= 0);
                seen << i;
                QCOMPARE(o.value("Device").toString(), fields(i).value("model").toString());
                QCOMPARE(o.value("TCP IP Adr").toString(), fields(i).value("address").toString());
                const char* modes[] = {"I/Q Mode", "Quill Mode", "Aux Mode"};
                QCOMPARE(o.value("Quill-xx Operation Mode").toString(), QLatin1String(modes[fields(i).value("opMode").toInt()]));
                // The RF range only for the model that has one, in MHz.
                QCOMPARE(o.contains("RF Port 2 Auto Range Max"), o.value("Device") == "Quillix");
            }
            QCOMPARE(seen.size(), listed);
        }
        if (offered < 33)
            return;
        // The last receiver's control port, on its own address, answers too.
        QCOMPARE(run({"info", QStringLiteral("QR%1").arg(offered - 1, 4, 10, QLatin1Char('0'))}), 0);
        QCOMPARE(m_Sim->control(offered - 1)->connectionCount(), 1);
        // The core with the window's 32 rows counts every other receiver once as dropped, however often it answers.
        CDiscoveryCycle cycle(nullptr, 32);
        bool done = false;
        cycle.Run([&done] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QCOMPARE(cycle.Rows(), 32);
        QCOMPARE(cycle.Dropped(), offered - 32);
    }
};

QTEST_GUILESS_MAIN(tst_Quillctl)
#include "tst_quillctl.moc"
