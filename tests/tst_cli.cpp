#include "Cli.h"
#include "Plan.h"
#include "ReceiverModel.h"

#include <QtTest>

// quillctl's command table as people meet it (help, completion, refusals), and the plan of apply and
// update as plain data, without a receiver.
class tst_Cli : public QObject {
    Q_OBJECT
    QByteArray m_Out, m_Err;

    int run(const QStringList& args, const QByteArray& input = {})
    {
        QProcess p;
        const bool bash = args.value(0) == "bash";
        p.start(bash ? QStringLiteral("bash") : QStringLiteral(QUILLCTL_PATH), bash ? args.mid(1) : QStringList(args));
        p.write(input);
        p.closeWriteChannel();
        const bool ended = p.waitForFinished(10000);
        m_Out = p.readAllStandardOutput();
        m_Err = p.readAllStandardError();
        return ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    /// A receiver "SERIAL MODEL APP0 [in-use]": app0 at APP0 ("-": its versions were not read), cfg1 at 7.
    static Plan::Unit unit(const QString& text)
    {
        const QStringList f = text.split(' ');
        QByteArray record(862, 0);
        record[86] = char(f.contains("in-use") ? 2 : 0);  // the status byte: the second in-use bit
        record.replace(5, f[1].size(), f[1].toLatin1());
        Plan::Unit u{f[0], record, Models::byName(f[1]), f[2] == "-" ? "no answer" : "", {}, f[2] != "-"};
        u.versions.m_Wide[4] = quint16(qRound(f[2].toDouble() * 100));
        u.versions.m_Narrow[0] = 7;
        return u;
    }

private slots:
    void table()
    {
        // Every option of every command: shown in its help, offered by the completion, and a value outside
        // its range refused with one message wherever it is given.
        QCOMPARE(run({"completion"}), 0);
        const QByteArray script = m_Out;
        QHash<QString, QByteArray> refusals;
        for (int c = 0; c < Cli::CommandCount; ++c) {
            const Cli::Command& cmd = Cli::Commands[c];
            const QStringList words = QString(cmd.name).split(' ');
            QCOMPARE(run(words + QStringList{"--help"}), 0);
            const QByteArray help = m_Out;
            QVERIFY2(help.contains(Cli::syntax(cmd).toLatin1()), help);
            QCOMPARE(run({"bash", "-c", QStringLiteral("source /dev/stdin; COMP_WORDS=(quillctl %1 --); COMP_CWORD=%2; _quillctl; echo \"${COMPREPLY[*]}\"")
                                                .arg(words.join(' ')).arg(words.size() + 1)}, script), 0);
            const QStringList offered = QString(m_Out).simplified().split(' ');
            for (int i = 0; i < Cli::OptionCount; ++i) {
                const Cli::Option& o = Cli::Options[i];
                const QString name = QStringLiteral("--") + o.name;
                QCOMPARE(help.contains((name + (o.value ? " <" : " ")).toLatin1()), Cli::takes(cmd, o));
                QCOMPARE(offered.contains(name), Cli::takes(cmd, o));
                if (!Cli::takes(cmd, o) || !o.value || o.kind == Cli::Kind::File)
                    continue;
                for (const QString& bad : o.number ? QStringList{QString::number(o.min - 1), QString::number(qint64(o.max) + 1), "5x"} : QStringList{"x"}) {
                    QCOMPARE(run(words + QStringList{name, bad, "A", "B"}), 2);
                    QVERIFY2(m_Err == refusals.value(name, m_Err), m_Err);
                    refusals[name] = m_Err;
                }
                if (o.number)
                    QVERIFY(Cli::refusal(o, QString::number(o.min)).isEmpty() && Cli::refusal(o, QString::number(o.max)).isEmpty());
            }
        }
        QCOMPARE(refusals.value("--parallel"), QByteArray("quillctl: --parallel takes a number from 1 to 256\n"));
        QCOMPARE(refusals.value("--last"), QByteArray("quillctl: --last takes a number from 1 to 100000\n"));
        QCOMPARE(refusals.value("--item"), QByteArray("quillctl: --item takes one of app0, app1, cfg1, cfg2, cfg3, cfg4\n"));
        QCOMPARE(run({"--version"}), 0);
        QCOMPARE(m_Out, QByteArray("quillctl 1.08\n"));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("why");
        QTest::newRow("no command") << QStringList{} << "a command is needed";
        QTest::newRow("unknown command") << QStringList{"fnd"} << "unknown command \"fnd\"";
        QTest::newRow("unknown option") << QStringList{"find", "--yes"} << "Unknown option 'yes'";
        QTest::newRow("show without SERIAL") << QStringList{"show"} << "usage: quillctl show SERIAL";
        QTest::newRow("info with two") << QStringList{"info", "A", "B"} << "usage: quillctl info SERIAL [--json] [--all-interfaces]\n";
        QTest::newRow("set without FIELD=VALUE") << QStringList{"set", "A"} << "usage: quillctl set SERIAL FIELD=VALUE...";
        QTest::newRow("set with an unknown field") << QStringList{"set", "A", "colour=red"} << "\"colour\" is not FIELD=VALUE";
        QTest::newRow("apply without RELEASE") << QStringList{"apply"} << "usage: quillctl apply RELEASE [SERIAL...]";
        QTest::newRow("update without --item") << QStringList{"update", "A", "f.bin"} << "--item is needed";
        QTest::newRow("update --all without --model") << QStringList{"update", "--all", "--item", "app0", "f.bin"} << "--all takes --model NAME";
        QTest::newRow("update --all with a SERIAL") << QStringList{"update", "--all", "--model", "Quillix", "A", "--item", "app0", "f.bin"}
                                                    << "--all takes --model NAME and no SERIAL";
        QTest::newRow("update --model without --all") << QStringList{"update", "A", "--model", "Quillix", "--item", "app0", "f.bin"}
                                                      << "give --all --model NAME";
        QTest::newRow("update without FILE") << QStringList{"update", "A", "--item", "app0"} << "give --all --model NAME";
        QTest::newRow("update with an empty file") << QStringList{"update", "A", "--item", "app0", "/dev/null"} << "is not a valid app0 image";
        QTest::newRow("status with an empty --release") << QStringList{"status", "--release", ""} << "--release takes a value";
        QTest::newRow("log with two") << QStringList{"log", "A", "B"} << "usage: quillctl log [SERIAL]";
    }

    void badArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, why);
        QCOMPARE(run(args), 2);
        QVERIFY2(m_Err.startsWith("quillctl: ") && m_Err.contains(why.toLatin1()), m_Err);
        QVERIFY(m_Out.isEmpty());
    }

    void plan_data()
    {
        QTest::addColumn<QStringList>("units");  // the release wants Quillrad app0 3.06 and cfg1 7, nothing of Quillix
        QTest::addColumn<bool>("includeInUse");
        QTest::addColumn<int>("canary");
        QTest::addColumn<QStringList>("rows");   // receiver, item, action and stage
        QTest::addColumn<QList<int>>("runs");    // the updates' exit codes, -1: not started
        QTest::addColumn<QString>("counts");
        QTest::addColumn<int>("exitCode");
        const QStringList mixed{"R1 Quillrad 3.05", "R2 Quillrad 3.06 in-use", "R3 Quillrad 3.05 in-use", "R4 Quillrad -", "X1 Quillix 1.00"};
        QTest::newRow("behind, up to date, in use, not answering, no image")
            << mixed << false << 0
            << QStringList{"R1 app0 update", "R1 cfg1 up to date", "R2 app0 up to date", "R2 cfg1 up to date", "R3 app0 skipped: in use",
                           "R3 cfg1 up to date", "R4 - skipped: not answering (no answer)", "X1 - skipped: no image for its model"}
            << QList<int>{0} << "1 updated, 0 failed, 0 not started, 4 up to date, 3 skipped" << 1;
        QTest::newRow("--include-in-use") << QStringList(mixed.mid(2, 1)) << true << 0 << QStringList{"R3 app0 update", "R3 cfg1 up to date"}
                                          << QList<int>{3} << "0 updated, 1 failed, 0 not started, 1 up to date, 0 skipped" << 3;
        QTest::newRow("in use, left alone") << QStringList(mixed.mid(2, 1)) << false << 0 << QStringList{"R3 app0 skipped: in use", "R3 cfg1 up to date"}
                                            << QList<int>{} << "0 updated, 0 failed, 0 not started, 1 up to date, 1 skipped" << 0;
        QTest::newRow("--canary 2: the first two to be updated")
            << QStringList{"R1 Quillrad 3.06", "R2 Quillrad 3.05", "R3 Quillrad 3.05", "R4 Quillrad 3.05"} << false << 2
            << QStringList{"R1 app0 up to date", "R1 cfg1 up to date", "R2 app0 update canary", "R2 cfg1 up to date canary",
                           "R3 app0 update canary", "R3 cfg1 up to date canary", "R4 app0 update rollout", "R4 cfg1 up to date rollout"}
            << QList<int>{0, 0, -1} << "2 updated, 0 failed, 1 not started, 5 up to date, 0 skipped" << 3;
    }

    void plan()
    {
        QFETCH(QStringList, units);
        QFETCH(bool, includeInUse);
        QFETCH(int, canary);
        QFETCH(QStringList, rows);
        QFETCH(QList<int>, runs);
        QFETCH(QString, counts);
        QFETCH(int, exitCode);
        QVector<Plan::Unit> found;
        for (const QString& u : units)
            found << unit(u);
        const ReceiverModel* quillrad = Models::byName("quillrad");
        const QVector<Plan::Row> plan = Plan::make(found, {{quillrad, 0, "3.06"}, {quillrad, 2, "7"}}, includeInUse, canary);
        QStringList shown;
        QVector<Plan::Outcome> outcomes(plan.size());
        for (int i = 0; i < plan.size(); ++i) {
            const Plan::Row& r = plan[i];
            shown << QStringLiteral("%1 %2 %3 %4").arg(found[r.unit].serial, r.item < 0 ? "-" : r.item ? "cfg1" : "app0",
                                                        Plan::actionText(r, found[r.unit]), Plan::stageText(r.stage)).trimmed();
            if (r.action == Plan::Action::Update && !runs.isEmpty())
                outcomes[i].code = runs.takeFirst();
        }
        QCOMPARE(shown, rows);
        const Plan::Summary s = Plan::summarize(found, plan, outcomes, 0);
        QCOMPARE(s.counts(), counts);
        QCOMPARE(s.code, exitCode);
        // update leaves a receiver in use alone with exit 1.
        QCOMPARE(Plan::summarize(found, plan, outcomes, 1).code, shown.join(' ').contains("in use") && exitCode == 0 ? 1 : exitCode);
    }
};

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
