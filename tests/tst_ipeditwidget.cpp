#include "IPEditWidget.h"

#include <QLineEdit>
#include <QtTest>

// The octet fields as a person sees them: what is shown, and what comes back after typing.
class tst_IPEditWidget : public QObject {
    Q_OBJECT
private slots:
    void display_data();
    void display();
    void readBack_data();
    void readBack();

private:
    static QLineEdit* field(CIPEditWidget& w, int i);
};

static const char* const FieldNames[4] = {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"};

QLineEdit* tst_IPEditWidget::field(CIPEditWidget& w, int i)
{
    return w.findChild<QLineEdit*>(QLatin1String(FieldNames[i]));
}

void tst_IPEditWidget::display_data()
{
    QTest::addColumn<bool>("asNumber");
    QTest::addColumn<quint32>("number");
    QTest::addColumn<QStringList>("shown");
    // The octet overload is given the same four bytes the number splits into, first octet first.
    QTest::addRow("octets") << false << 0xC0A8010Au << QStringList{"192", "168", "1", "10"};
    QTest::addRow("octets, no leading zeros") << false << 0x07000AFFu << QStringList{"7", "0", "10", "255"};
    QTest::addRow("number") << true << 0xC0A8010Au << QStringList{"192", "168", "1", "10"};
    QTest::addRow("number, low byte last") << true << 0x0A0B0C0Du << QStringList{"10", "11", "12", "13"};
    QTest::addRow("number, top bit") << true << 0xFF000001u << QStringList{"255", "0", "0", "1"};
}

void tst_IPEditWidget::display()
{
    QFETCH(bool, asNumber);
    QFETCH(quint32, number);
    QFETCH(QStringList, shown);
    CIPEditWidget w;
    if (asNumber)
        w.SetAddress(number);
    else
        w.SetAddress(quint8(number >> 24), quint8(number >> 16), quint8(number >> 8), quint8(number));
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(field(w, i), FieldNames[i]);
        QCOMPARE(field(w, i)->text(), shown.at(i));
    }
    quint8 b[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    QVERIFY(!w.GetAddress(&b[0], &b[1], &b[2], &b[3]));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4),
             QByteArray::fromHex(QByteArray::number(number, 16).rightJustified(8, '0')));
}

void tst_IPEditWidget::readBack_data()
{
    // One entry per field, left to right: "-" leaves the field alone, "" empties it, anything else is typed
    // over the selected old text.
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("modified");
    const QByteArray same = QByteArray::fromHex("c0a8010a");
    QTest::addRow("untouched") << QStringList{"-", "-", "-", "-"} << same << false;
    QTest::addRow("last field to 20") << QStringList{"-", "-", "-", "20"} << QByteArray::fromHex("c0a80114") << true;
    QTest::addRow("second emptied keeps 168") << QStringList{"-", "", "-", "-"} << same << false;
    QTest::addRow("emptied and another edited") << QStringList{"-", "", "-", "20"} << QByteArray::fromHex("c0a80114")
                                                << true;
    QTest::addRow("same value retyped") << QStringList{"192", "-", "-", "-"} << same << true;
    QTest::addRow("leading zeros typed") << QStringList{"-", "-", "007", "-"} << QByteArray::fromHex("c0a8070a")
                                         << true;
    // 300 can be typed but is no octet: the field keeps 192 and counts as not edited.
    QTest::addRow("300 not taken over") << QStringList{"300", "-", "-", "-"} << same << false;
    QTest::addRow("all four") << QStringList{"10", "0", "0", "255"} << QByteArray::fromHex("0a0000ff") << true;
}

void tst_IPEditWidget::readBack()
{
    QFETCH(QStringList, edits);
    QFETCH(QByteArray, expected);
    QFETCH(bool, modified);
    CIPEditWidget w;
    w.SetAddress(192, 168, 1, 10);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 4; ++i) {
        if (edits.at(i) == QLatin1String("-"))
            continue;
        QLineEdit* f = field(w, i);
        QTest::keyClick(f, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(f, Qt::Key_Backspace);
        QTest::keyClicks(f, edits.at(i));
    }
    quint8 b[4] = {};
    QCOMPARE(w.GetAddress(&b[0], &b[1], &b[2], &b[3]), modified);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), expected);
}

QTEST_MAIN(tst_IPEditWidget)
#include "tst_ipeditwidget.moc"
