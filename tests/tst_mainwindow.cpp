#include "DiscoveryCycle.h"
#include "EditQuillDlg.h"
#include "MainWindow.h"
#include "QuillSim.h"
#include "TestLog.h"
#include "TestUi.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

struct RoundTripRow {
    QString model;
    int length;
    QString field, closeBy;  // object name of the edited line edit, empty for none; how the dialog closes
    int sent;                // bytes of the Set datagram, 0 for none
    int first, last;         // edited byte range in the record
};
Q_DECLARE_METATYPE(RoundTripRow)

// The discovery cycle against emulated receivers, over real UDP sockets in a private network, and a
// double-clicked receiver through its settings dialog and back to the receiver as a Set datagram.
class tst_MainWindow : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_Log.start();
        m_Sim.reset(new QuillSim);
    }

    void cleanup()
    {
        m_Window.reset();
        m_Sim.reset();
        m_Log.stop();
    }

    void rows_data()
    {
        QTest::addColumn<QVector<QJsonObject>>("receivers");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("opens");  // what a double-click on each row shows, "" for no dialog

        const QJsonObject a{{"model", "Quillrad"}, {"serial", "AB1234"}, {"address", "192.168.1.10"},
                            {"tcpPort", 50000}, {"status", 2}};
        const QJsonObject b{{"model", "Quillix"}, {"serial", "QX7"}, {"address", "10.0.0.7"}, {"tcpPort", 7}};
        // A receiver like another, with some fields changed.
        const auto with = [](QJsonObject o, const QJsonObject& changes) {
            for (auto it = changes.begin(); it != changes.end(); ++it)
                o.insert(it.key(), it.value());
            return o;
        };
        // A wrong key changes nothing, not even the row of the receiver whose serial number it names.
        QTest::addRow("in use and idle, and a wrong key")
            << QVector<QJsonObject>{a, b, with(a, {{"misbehave", "wrongKey"}, {"tcpPort", 1}, {"replyDelayMs", 150}})}
            << QStringList{"(In Use) Quillrad   SN=AB1234   IP=192.168.1.10   Port=50000",
                           "Quillix   SN=QX7   IP=10.0.0.7   Port=7"}
            << QStringList{"AB1234 50000", "QX7 7"};
        // Status bits 2..7 are not the in-use bits; text from the receiver is shown as it is, never taken
        // for a placeholder.
        QTest::addRow("other status bits, placeholder in a serial number")
            << QVector<QJsonObject>{with(b, {{"status", 0xFC}, {"serial", "%1%4"}})}
            << QStringList{"Quillix   SN=%1%4   IP=10.0.0.7   Port=7"} << QStringList{"%1%4 7"};
        // An unknown model is listed by its header alone, never marked in use.
        QTest::addRow("other models")
            << QVector<QJsonObject>{with(a, {{"model", "Quillrad "}, {"status", 3}}), with(b, {{"model", "quillix"}, {"serial", "LOW1"}})}
            << QStringList{"Quillrad    SN=AB1234   IP=192.168.1.10   Port=50000", "quillix   SN=LOW1   IP=10.0.0.7   Port=7"} << QStringList{"", ""};
        // A serial number that is a prefix of another names another receiver, whether it is listed first or
        // answers last.
        QTest::addRow("serial numbers as prefixes")
            << QVector<QJsonObject>{with(a, {{"serial", "AB123"}, {"ownModelOnly", true}}), with(b, {{"serial", "AB1234"}, {"ownModelOnly", true}}),
                                    with(b, {{"serial", "AB12"}, {"replyDelayMs", 200}, {"ownModelOnly", true}})}
            << QStringList{"(In Use) Quillrad   SN=AB123   IP=192.168.1.10   Port=50000", "Quillix   SN=AB1234   IP=10.0.0.7   Port=7",
                           "Quillix   SN=AB12   IP=10.0.0.7   Port=7"}
            << QStringList{"AB123 50000", "AB1234 7", "AB12 7"};
        // Every receiver answers both requests; the second answer replaces the row and its record, and
        // moves them last; the row behind keeps its own record.
        QTest::addRow("repeated answer replaces its row")
            << QVector<QJsonObject>{a, b, with(b, {{"serial", "AB1234"}, {"tcpPort", 9}, {"replyDelayMs", 200}, {"ownModelOnly", true}})}
            << QStringList{"Quillix   SN=QX7   IP=10.0.0.7   Port=7", "Quillix   SN=AB1234   IP=10.0.0.7   Port=9"}
            << QStringList{"QX7 7", "AB1234 9"};
    }

    void rows()
    {
        QFETCH(QVector<QJsonObject>, receivers);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, opens);
        for (const QJsonObject& o : receivers)
            m_Sim->addReceiver(receiver(o));
        startSimAndWindow();
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
        QCOMPARE(rowTexts(), expected);
        m_Window->show();
        // Each row double-clicked in turn: the serial number and TCP port its settings dialog shows, closed untouched.
        QStringList seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &poll, [&] {
            if (auto* dlg = qobject_cast<CEditQuillDlg*>(QApplication::activeModalWidget())) {
                seen.last() = QRegularExpression("Serial Number = (\\S*)").match(child<QLabel>(*dlg, "labelDevice")->text()).captured(1)
                              + ' ' + child<QLineEdit>(*dlg, "lineEdit_TCPPort")->text();
                dlg->close();
            }
        });
        poll.start(20);
        for (int row = 0; row < list()->count(); ++row) {
            seen << QString();
            doubleClick(row);
        }
        QCOMPARE(seen, opens);
    }

    void fullTable()
    {
        // 33 receivers: the 33rd is dropped, and a later answer of a listed one still replaces its row.
        for (int i = 0; i < 33; ++i)
            m_Sim->addReceiver(receiver({{"model", "Quillrad"}, {"serial", QStringLiteral("SN%1").arg(i, 2, 10, QChar('0'))},
                                         {"address", QStringLiteral("198.18.1.%1").arg(i + 1)}, {"ownModelOnly", true}}));
        m_Sim->addReceiver(receiver({{"model", "Quillix"}, {"serial", "SN05"}, {"address", "198.18.2.5"},
                                     {"replyDelayMs", 250}, {"ownModelOnly", true}}));
        startSimAndWindow();
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
        QStringList expected;
        for (int i = 0; i < 32; ++i)
            if (i != 5)
                expected << QStringLiteral("Quillrad   SN=SN%1   IP=198.18.1.%2   Port=50000").arg(i, 2, 10, QChar('0')).arg(i + 1);
        QCOMPARE(rowTexts(), expected << QStringLiteral("Quillix   SN=SN05   IP=198.18.2.5   Port=50000"));
    }

    void datagramSizes_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("row");  // empty: nothing listed
        const QString idle = QStringLiteral("Quillrad   SN=SIZE   IP=198.18.0.8   Port=50000");
        QTest::addRow("0") << 0 << QString();
        QTest::addRow("3, no key") << 3 << QString();
        QTest::addRow("4, the key alone") << 4 << QStringLiteral("   SN=   IP=0.0.0.0   Port=0");
        QTest::addRow("55") << 55 << idle;
        QTest::addRow("56") << 56 << idle;
        QTest::addRow("86, no status byte") << 86 << idle;
        QTest::addRow("861") << 861 << QStringLiteral("(In Use) ") + idle;
        QTest::addRow("862") << 862 << QStringLiteral("(In Use) ") + idle;
        QTest::addRow("863") << 863 << QStringLiteral("(In Use) ") + idle;
        QTest::addRow("65507") << 65507 << QStringLiteral("(In Use) ") + idle;
    }

    void datagramSizes()
    {
        QFETCH(int, size);
        QFETCH(QString, row);
        m_Sim->addReceiver(receiver({{"serial", "SIZE"}, {"address", "198.18.0.8"}, {"status", 1},
                                     {"misbehave", size < 862 ? "short" : "overlong"}, {"replySize", size}}));
        startSimAndWindow();
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
        QCOMPARE(rowTexts(), row.isEmpty() ? QStringList() : QStringList{row});
        // The first pending datagram's size is logged whole, even when only a record's worth is kept.
        QVERIFY2(m_Log.contains(QStringLiteral("ReadUDPMessages %1").arg(size)), qPrintable(m_Log.lines().join('|')));
    }

    void shortReplyAfterWholeOne()
    {
        // Both answer each request, the short one first: its second answer, read right after a whole one, lands
        // in the row that one left, and keeps zeros behind its end, never the password a Set from it would send.
        m_Sim->addReceiver(receiver({{"serial", "SHORT"}, {"address", "198.18.0.8"}, {"misbehave", "short"}, {"replySize", 100}}));
        m_Sim->addReceiver(receiver({{"serial", "WHOLE"}, {"txPassword", "whole-secret"}}));
        startSimAndWindow();
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
        QCOMPARE(rowTexts().first(), QStringLiteral("Quillrad   SN=SHORT   IP=198.18.0.8   Port=50000"));
        const CDiscoveryCycle* cycle = m_Window->findChild<CDiscoveryCycle*>();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(cycle->Record(0)) + 100, 762), QByteArray(762, '\0'));
    }

    void cycles()
    {
        // A second request pair while the socket is bound binds nothing new; the first pair's timer
        // closes it and the second one's finds it closed; an answer after the close is never listed.
        m_Sim->addReceiver(receiver({{"serial", "ONE"}, {"address", "198.18.0.9"}}));
        m_Sim->addReceiver(receiver({{"serial", "LATE"}, {"replyDelayMs", 900}}));
        startSimAndWindow();
        QVERIFY(QMetaObject::invokeMethod(m_Window.get(), "SendDiscoverRequest"));
        QCOMPARE(m_Log.count(QStringLiteral("UDP bind true")), 1);
        QCOMPARE(m_Log.count(QStringLiteral("UDP Open")), 2);
        // Closed 500 ms after the first pair.
        QTest::qWait(400);
        QCOMPARE(m_Log.count(QStringLiteral("UDP Close")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 400);
        QTest::qWait(800);
        QCOMPARE(m_Log.count(QStringLiteral("UDP Close")), 1);
        // Each request byte for byte, each from the reply port.
        const QByteArray head = QByteArray::fromHex("38005aa500");
        const QByteArray quillrad = head + "Quillrad" + QByteArray(43, '\0'), quillix = head + "Quillix" + QByteArray(44, '\0');
        QCOMPARE(m_Sim->received(), (QVector<QByteArray>{quillrad, quillix, quillrad, quillix}));
        QCOMPARE(m_Log.lines().filter(QRegularExpression("^quillsim: discovery request .* from [0-9.]+:48322$")).size(), 4);
        QCOMPARE(rowTexts(), QStringList{"Quillrad   SN=ONE   IP=198.18.0.9   Port=50000"});

        // Find empties the list at once and runs the whole cycle again 500 ms later.
        QTest::mouseClick(m_Window->findChild<QPushButton*>(QStringLiteral("pushButtonFind")), Qt::LeftButton);
        QCOMPARE(list()->count(), 0);
        QTest::qWait(400);
        QCOMPARE(m_Sim->received().size(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(m_Sim->received().size(), 6, 400);
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 2, 3000);
        QCOMPARE(rowTexts(), QStringList{"Quillrad   SN=ONE   IP=198.18.0.9   Port=50000"});
        QCOMPARE(m_Log.count(QStringLiteral("UDP bind true")), 2);
    }

    void appName()
    {
        // Every ".exe" goes, in any case and anywhere in the file name, but not from a directory.
        QStringList names;
        for (const char* path : {"/opt/x/Finder.EXE", "a.exe.exe", "/bin/Quill.ExeFinder", "/home/u/tools.exe/Finder"})
            names << MainWindow::AppNameFromPath(QString::fromLatin1(path));
        QCOMPARE(names, (QStringList{"Finder", "a", "QuillFinder", "Finder"}));
    }

    void roundTrip_data()
    {
        QTest::addColumn<RoundTripRow>("row");

        QTest::addRow("description, OK") << RoundTripRow{"Quillix", 862, "lineEditSdrDesc", "OK", 862, 88, 238};
        QTest::addRow("description, Length 800") << RoundTripRow{"Quillix", 800, "lineEditSdrDesc", "OK", 800, 88, 238};
        QTest::addRow("Length above a record") << RoundTripRow{"Quillrad", 900, "lineEditSdrDesc", "OK", 862, 88, 238};
        QTest::addRow("port, Esc applies it") << RoundTripRow{"Quillix", 862, "lineEdit_TCPPort", "Esc", 862, 53, 54};
        QTest::addRow("latitude, close box") << RoundTripRow{"Quillix", 862, "lineEditLat", "close box", 862, 667, 699};
        QTest::addRow("untouched, close box") << RoundTripRow{"Quillix", 862, "", "close box", 0, 0, 0};
    }

    void roundTrip()
    {
        QFETCH(RoundTripRow, row);
        const auto& [model, length, field, closeBy, sent, first, last] = row;

        m_Sim->addReceiver(receiver({{"model", model}, {"serial", "QX42"}, {"address", "198.18.0.7"}, {"length", length},
                                     {"status", 3}, {"opMode", 0}, {"lat", "51.5074"}, {"tcpPort", 50001},
                                     {"description", "A rather long description that will be overwritten"}}));
        startSimAndWindow();
        m_Window->show();
        QCOMPARE(m_Window->windowTitle(), QStringLiteral("tst_mainwindow Ver 1.08"));
        // Find once the window is up, as a person does: the first cycle ran while it was still being built.
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
        QTest::mouseClick(child<QPushButton>(*m_Window, "pushButtonFind"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 2, 5000);
        QCOMPARE(list()->count(), 1);
        const QByteArray original = m_Sim->receiver(0).record;
        const QString typed = field == QLatin1String("lineEdit_TCPPort") ? QStringLiteral("4242") : QStringLiteral("abc");

        bool opened = false;
        whenModal<CEditQuillDlg>([&](CEditQuillDlg* dlg) {
            opened = true;
            if (!field.isEmpty()) {
                auto* edit = child<QLineEdit>(*dlg, qPrintable(field));
                edit->setFocus();
                QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClicks(edit, typed);
            }
            closeDialog(*dlg, closeBy);
        });
        doubleClick(0);
        QVERIFY(opened);
        if (sent == 0) {
            QTest::qWait(300);
            QCOMPARE(list()->count(), 1);  // the list is kept
            QCOMPARE(m_Sim->received().size(), 4);  // two cycles of a request per model, nothing more
            return;
        }

        QCOMPARE(list()->count(), 0);  // cleared at once
        QCOMPARE(m_Log.count(QStringLiteral("UDP Open send Set msg")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_Sim->receiver(0).setsAdopted, 1, 3000);
        const QByteArray set = m_Sim->receiver(0).lastSet;
        QCOMPARE(set.size(), sent);
        QCOMPARE(quint8(set[4]), quint8(2));
        for (int i = 0; i < sent; ++i)  // Status (86) among them: it goes back as it came
            if (i != 4 && (i < first || i > last))
                QVERIFY2(set[i] == original[i], qPrintable(QStringLiteral("byte %1 changed").arg(i)));
        QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 3, 3000);

        // Find again: the receiver answers with what it adopted.
        QTest::mouseClick(child<QPushButton>(*m_Window, "pushButtonFind"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(list()->count(), 1, 3000);
        const QJsonObject now = SimRecord::fields(m_Sim->receiver(0).record);
        const QString key = field == "lineEdit_TCPPort" ? "tcpPort" : field == "lineEditLat" ? "lat" : "description";
        QCOMPARE(now.value(key).toVariant().toString(), typed);
        QCOMPARE(list()->item(0)->text().endsWith(QStringLiteral("Port=4242")), key == "tcpPort");
    }

private:
    SimReceiver receiver(QJsonObject o)
    {
        o.insert(QStringLiteral("serveTcp"), false);
        QString error;
        SimReceiver r = SimReceiver::fromJson(o, &error);
        if (r.record.isEmpty())
            qFatal("bad test receiver: %s", qPrintable(error));
        return r;
    }

    /// Starts the emulated receivers, then a main window, which begins its first discovery cycle at once.
    void startSimAndWindow()
    {
        QString error;
        QVERIFY2(m_Sim->start(&error), qPrintable(error));
        m_Window.reset(new MainWindow);
    }
    QListWidget* list() const { return m_Window->findChild<QListWidget*>(QStringLiteral("listWidget")); }
    /// Selects `row` and double-clicks it, as a person opens a receiver; an opened dialog runs within.
    void doubleClick(int row)
    {
        const QPoint at = list()->visualItemRect(list()->item(row)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    }
    QStringList rowTexts() const
    {
        QStringList rows;
        for (int i = 0; i < list()->count(); ++i)
            rows << list()->item(i)->text();
        return rows;
    }

    TestLog m_Log;
    std::unique_ptr<QuillSim> m_Sim;
    std::unique_ptr<MainWindow> m_Window;
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
