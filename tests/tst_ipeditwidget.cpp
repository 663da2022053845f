#include "IPEditWidget.h"
#include "TestUi.h"

#include <QLineEdit>
#include <QtTest>

// The octet fields as a person sees them: what is shown, and what comes back after typing.
class tst_IPEditWidget : public QObject {
    Q_OBJECT
private slots:
    void readBack_data()
    {
        // One entry per field, left to right: "-" leaves the field alone, anything else replaces its text.
        QTest::addColumn<bool>("asNumber");
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("modified");
        const QByteArray same = QByteArray::fromHex("c0a8010a");
        QTest::addRow("untouched, 32-bit") << true << QStringList{"-", "-", "-", "-"} << same << false;
        QTest::addRow("emptied keeps 168") << false << QStringList{"-", "", "-", "-"} << same << false;
        // 300 can be typed but is no octet.
        QTest::addRow("300 not taken") << true << QStringList{"300", "-", "-", "-"} << same << false;
        QTest::addRow("emptied and another edited") << false << QStringList{"-", "", "-", "20"}
                                                    << QByteArray::fromHex("c0a80114") << true;
        QTest::addRow("same value retyped") << true << QStringList{"192", "-", "-", "-"} << same << true;
        QTest::addRow("leading zeros") << false << QStringList{"-", "00", "007", "-"} << QByteArray::fromHex("c000070a")
                                       << true;
    }

    void readBack()
    {
        QFETCH(bool, asNumber);
        QFETCH(QStringList, edits);
        QFETCH(QByteArray, expected);
        QFETCH(bool, modified);
        CIPEditWidget w;
        if (asNumber)
            w.SetAddress(0xC0A8010Au);
        else
            w.SetAddress(192, 168, 1, 10);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const char* const names[4] = {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"};
        const QStringList shown{"192", "168", "1", "10"};
        for (int i = 0; i < 4; ++i) {
            QLineEdit* f = child<QLineEdit>(w, names[i]);
            QCOMPARE(f->text(), shown.at(i));
            if (edits.at(i) != QLatin1String("-")) {
                f->selectAll();
                QTest::keyClick(f, Qt::Key_Backspace);
                QTest::keyClicks(f, edits.at(i));
            }
        }
        quint8 b[4] = {};
        QCOMPARE(w.GetAddress(&b[0], &b[1], &b[2], &b[3]), modified);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), expected);
    }
};

QTEST_MAIN(tst_IPEditWidget)
#include "tst_ipeditwidget.moc"
