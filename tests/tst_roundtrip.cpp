#include "EditQuillDlg.h"
#include "MainWindow.h"
#include "QuillSim.h"
#include "TestLog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>
#include <functional>
#include <memory>

// A double-clicked receiver goes through its settings dialog and back to the emulated receiver
// as a Set datagram, over real sockets in a private network.
class tst_RoundTrip : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void edits_data();
    void edits();
    void otherModelDoesNotOpen();

private:
    enum Close { ByOk, ByEscape, ByCloseBox };
    void startWith(const QJsonObject& o);
    /// Double-clicks list row `row` as a person would and lets `act` work the dialog; false if none opened.
    bool openRow(int row, const std::function<void(CEditQuillDlg*)>& act);
    QListWidget* list() const { return m_Window->findChild<QListWidget*>(QStringLiteral("listWidget")); }

    TestLog m_Log;
    std::unique_ptr<QuillSim> m_Sim;
    std::unique_ptr<MainWindow> m_Window;
};

void tst_RoundTrip::init()
{
    m_Log.start();
    m_Sim.reset(new QuillSim);
}

void tst_RoundTrip::cleanup()
{
    m_Window.reset();
    m_Sim.reset();
    m_Log.stop();
}

void tst_RoundTrip::startWith(const QJsonObject& base)
{
    QJsonObject o = base;
    o.insert(QStringLiteral("serveTcp"), false);
    QString error;
    SimReceiver r = SimReceiver::fromJson(o, &error);
    QVERIFY2(!r.record.isEmpty(), qPrintable(error));
    m_Sim->addReceiver(r);
    QVERIFY2(m_Sim->start(&error), qPrintable(error));
    m_Window.reset(new MainWindow);
    m_Window->show();
    QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 1, 3000);
    QCOMPARE(list()->count(), 1);
}

bool tst_RoundTrip::openRow(int row, const std::function<void(CEditQuillDlg*)>& act)
{
    bool opened = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto* dlg = qobject_cast<CEditQuillDlg*>(QApplication::activeModalWidget())) {
            poll.stop();
            opened = true;
            act(dlg);
        }
    });
    poll.start();
    // A dialog that should not have opened is closed after a while, so the test can say so.
    // Tied to `poll`, so it dies with this call instead of firing into a later test.
    QTimer::singleShot(1500, &poll, [&] {
        if (poll.isActive() && QApplication::activeModalWidget())
            QApplication::activeModalWidget()->close();
    });
    const QRect rect = list()->visualItemRect(list()->item(row));
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::qWait(100);
    poll.stop();
    return opened;
}

void tst_RoundTrip::edits_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("field");  // object name of the edited line edit, empty for none
    QTest::addColumn<int>("close");
    QTest::addColumn<int>("sent");       // bytes of the Set datagram, 0 for none
    QTest::addColumn<int>("first");      // edited byte range in the record
    QTest::addColumn<int>("last");

    QTest::addRow("description, OK") << 862 << "lineEditSdrDesc" << int(ByOk) << 862 << 88 << 238;
    QTest::addRow("description, Length 800") << 800 << "lineEditSdrDesc" << int(ByOk) << 800 << 88 << 238;
    QTest::addRow("Length above a record") << 900 << "lineEditSdrDesc" << int(ByOk) << 862 << 88 << 238;
    QTest::addRow("port, Esc applies it") << 862 << "lineEdit_TCPPort" << int(ByEscape) << 862 << 53 << 54;
    QTest::addRow("latitude, close box") << 862 << "lineEditLat" << int(ByCloseBox) << 862 << 667 << 699;
    QTest::addRow("untouched, OK") << 862 << "" << int(ByOk) << 0 << 0 << 0;
    QTest::addRow("untouched, Esc") << 862 << "" << int(ByEscape) << 0 << 0 << 0;
    QTest::addRow("untouched, close box") << 862 << "" << int(ByCloseBox) << 0 << 0 << 0;
}

void tst_RoundTrip::edits()
{
    QFETCH(int, length);
    QFETCH(QString, field);
    QFETCH(int, close);
    QFETCH(int, sent);
    QFETCH(int, first);
    QFETCH(int, last);

    startWith({{"model", "Quillix"}, {"serial", "QX42"}, {"address", "198.18.0.7"}, {"length", length},
               {"status", 3}, {"opMode", 0}, {"lat", "51.5074"}, {"tcpPort", 50001},
               {"description", "A rather long description that will be overwritten"}});
    const QByteArray original = m_Sim->receiver(0).record;
    const QString typed = field == QLatin1String("lineEdit_TCPPort") ? QStringLiteral("4242") : QStringLiteral("abc");

    const bool opened = openRow(0, [&](CEditQuillDlg* dlg) {
        if (!field.isEmpty()) {
            auto* edit = dlg->findChild<QLineEdit*>(field);
            QVERIFY(edit);
            edit->setFocus();
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(edit, typed);
        }
        if (close == ByOk)
            QTest::mouseClick(dlg->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok),
                              Qt::LeftButton);
        else if (close == ByEscape)
            QTest::keyClick(dlg, Qt::Key_Escape);
        else
            dlg->close();
    });
    QVERIFY(opened);

    if (!sent) {
        QTest::qWait(300);
        QCOMPARE(list()->count(), 1);  // the list is kept
        QVERIFY(!m_Log.contains(QStringLiteral("UDP Open send Set msg")));
        QCOMPARE(m_Sim->receiver(0).setsAdopted, 0);
        QCOMPARE(m_Sim->received().size(), 2);  // the two requests, nothing more
        return;
    }

    QCOMPARE(list()->count(), 0);  // cleared at once
    QCOMPARE(m_Log.count(QStringLiteral("UDP Open send Set msg")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_Sim->receiver(0).setsAdopted, 1, 3000);
    const QByteArray set = m_Sim->receiver(0).lastSet;
    QCOMPARE(set.size(), sent);
    QCOMPARE(quint8(set[4]), quint8(2));
    QCOMPARE(set[86], original[86]);  // Status goes back as it came
    for (int i = 0; i < sent; ++i) {
        if (i == 4 || (i >= first && i <= last))
            continue;
        QVERIFY2(set[i] == original[i], qPrintable(QStringLiteral("byte %1 changed").arg(i)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_Log.count(QStringLiteral("UDP Close")), 2, 3000);

    // Find again: the receiver answers with what it adopted.
    QTest::mouseClick(m_Window->findChild<QPushButton*>(QStringLiteral("pushButtonFind")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(list()->count(), 1, 3000);
    const QJsonObject now = SimRecord::fields(m_Sim->receiver(0).record);
    if (field == QLatin1String("lineEdit_TCPPort")) {
        QCOMPARE(now.value("tcpPort").toInt(), 4242);
        QVERIFY(list()->item(0)->text().endsWith(QStringLiteral("Port=4242")));
    } else if (field == QLatin1String("lineEditLat")) {
        QCOMPARE(now.value("lat").toString(), typed);
    } else {
        QCOMPARE(now.value("description").toString(), typed);
    }
}

void tst_RoundTrip::otherModelDoesNotOpen()
{
    startWith({{"model", "Quillix2"}, {"serial", "ODD1"}});
    QVERIFY(!openRow(0, [](CEditQuillDlg* dlg) { dlg->close(); }));
    QCOMPARE(list()->count(), 1);
    QCOMPARE(m_Sim->received().size(), 2);
}

QTEST_MAIN(tst_RoundTrip)
#include "tst_roundtrip.moc"
