#include "EditQuillDlg.h"
#include "IPEditWidget.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <cstring>

namespace {

constexpr int RecordBytes = 862;

void put(QByteArray& r, int off, const QByteArray& bytes)
{
    r.replace(off, bytes.size(), bytes);
}

// A text as the receiver writes it: the characters and one zero byte; the bytes behind stay as they were.
void putText(QByteArray& r, int off, const QByteArray& text)
{
    put(r, off, text + '\0');
}

// Every offset written out by hand, so a wrong offset in the shared layout header shows up here.
// Bytes outside the written fields carry a pattern that must come back untouched.
QByteArray makeRecord(const QByteArray& model, quint32 rfMin = 0, quint32 rfMax = 56000000)
{
    QByteArray r(RecordBytes, '\0');
    for (int i = 0; i < RecordBytes; ++i)
        r[i] = char(i * 37 + 11);
    put(r, 0, QByteArray::fromHex("5e035aa501"));  // Length 862, Key, MsgType 1
    putText(r, 5, model);
    putText(r, 21, "QX123456");
    put(r, 37, QByteArray::fromHex("0a01a8c0"));      // 192.168.1.10
    put(r, 53, QByteArray::fromHex("50c3"));          // TCP port 50000
    put(r, 56, QByteArray::fromHex("563412efcdab"));  // ab:cd:ef:12:34:56
    put(r, 62, QByteArray::fromHex("7b00fa006400"));  // HW 1.23, FW 2.5, boot 1
    put(r, 71, QByteArray::fromHex("a5"));            // DHCP on, alternate off, upper bits set
    put(r, 72, QByteArray::fromHex("00ffffff"));      // 255.255.255.0
    put(r, 76, QByteArray::fromHex("0101a8c0"));      // 192.168.1.1
    put(r, 80, QByteArray::fromHex("0700000a"));      // 10.0.0.7
    put(r, 84, QByteArray::fromHex("51c3"));          // UDP port 50001
    put(r, 86, QByteArray::fromHex("0101"));          // Status in use, Quill mode
    putText(r, 88, "Rooftop receiver");
    putText(r, 239, "example.net/rx");
    putText(r, 390, "sdr.example.net");
    putText(r, 471, "list.example.net");
    putText(r, 552, "/cgi-bin/list.pl");
    putText(r, 633, "");
    putText(r, 650, "secret");
    putText(r, 667, "51.5074");
    putText(r, 700, "-0.1278");
    put(r, 733, QByteArray::fromHex("1e00"));  // 30 minutes, UART normal
    for (int i = 0; i < 4; ++i) {
        r[735 + i] = char(rfMin >> (8 * i));
        r[739 + i] = char(rfMax >> (8 * i));
    }
    put(r, 743, QByteArray::fromHex("0100"));  // audio only when connected, ext ref off
    return r;
}

QByteArray recordOf(const CEditQuillDlg& dlg)
{
    return QByteArray(reinterpret_cast<const char*>(dlg.m_Record), RecordBytes);
}

QString firstDifference(const QByteArray& actual, const QByteArray& expected)
{
    for (int i = 0; i < RecordBytes; ++i) {
        if (actual[i] != expected[i])
            return QStringLiteral("byte %1 is 0x%2, expected 0x%3")
                .arg(i)
                .arg(quint8(actual[i]), 2, 16, QLatin1Char('0'))
                .arg(quint8(expected[i]), 2, 16, QLatin1Char('0'));
    }
    return QString();
}

} // namespace

// The settings dialog driven as a person would: type, click, choose, then close it.
class tst_EditQuillDlg : public QObject {
    Q_OBJECT
private slots:
    void editField_data();
    void editField();
    void untouched_data();
    void untouched();
    void rfRange_data();
    void rfRange();
    void quillradKeepsRfRange();
    void longDescription();
    void returnMovesFocus_data();
    void returnMovesFocus();
    void deviceInfo();
    void opModeReset();

private:
    static bool open(CEditQuillDlg& dlg, const QByteArray& record);
    static void edit(CEditQuillDlg& dlg, const QString& path, const QString& input);
    static void clickOk(CEditQuillDlg& dlg);
};

bool tst_EditQuillDlg::open(CEditQuillDlg& dlg, const QByteArray& record)
{
    std::memcpy(dlg.m_Record, record.constData(), RecordBytes);
    dlg.FillForm();
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    return QTest::qWaitForWindowActive(&dlg);
}

// `path` is a widget's object name, or "editor.field" for one octet field of an address editor.
void tst_EditQuillDlg::edit(CEditQuillDlg& dlg, const QString& path, const QString& input)
{
    QWidget* w = dlg.findChild<QWidget*>(path.section(QLatin1Char('.'), 0, 0));
    if (w && path.contains(QLatin1Char('.')))
        w = w->findChild<QWidget*>(path.section(QLatin1Char('.'), 1));
    QVERIFY2(w, qPrintable(path));
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w)) {
        QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w, Qt::Key_Backspace);
        for (const QChar c : input) {
            // keyClicks() knows only ASCII; other Latin-1 letters go out as their key with the character as text.
            if (c.unicode() < 0x80)
                QTest::keyClick(w, c.toLatin1());
            else
                QTest::sendKeyEvent(QTest::Click, w, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
        }
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        // On the indicator: short texts leave the middle of a wide button outside its click area.
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
    } else if (qobject_cast<QComboBox*>(w)) {
        QTest::keyClick(w, input == QLatin1String("down") ? Qt::Key_Down : Qt::Key_Up);
    } else {
        QFAIL(qPrintable(QStringLiteral("no way to edit %1").arg(path)));
    }
}

void tst_EditQuillDlg::clickOk(CEditQuillDlg& dlg)
{
    auto* box = dlg.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QVERIFY(box && box->button(QDialogButtonBox::Ok));
    QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

void tst_EditQuillDlg::editField_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QByteArray>("expected");

    for (const QByteArray& model : {QByteArray("Quillix"), QByteArray("Quillrad")}) {
        const QByteArray base = makeRecord(model);
        const auto row = [&](const char* name, const QString& path, const QString& input, int off,
                             const QByteArray& bytes) {
            QByteArray expected = base;
            put(expected, off, bytes);
            QTest::addRow("%s: %s", model.constData(), name) << base << path << input << expected;
        };
        row("IP last octet", "IPEditwidget_IP.lineEdit_B0", "20", 37, QByteArray::fromHex("14"));
        row("IP first octet", "IPEditwidget_IP.lineEdit_B3", "172", 40, QByteArray::fromHex("ac"));
        row("subnet mask", "IPEditwidget_IP_SM.lineEdit_B0", "128", 72, QByteArray::fromHex("80"));
        row("gateway", "IPEditwidget_IP_GW.lineEdit_B1", "2", 77, QByteArray::fromHex("02"));
        row("alternate address", "IPEditwidget_IP_UDP.lineEdit_B2", "9", 82, QByteArray::fromHex("09"));
        row("TCP port", "lineEdit_TCPPort", "1234", 53, QByteArray::fromHex("d204"));
        row("TCP port cleared", "lineEdit_TCPPort", "", 53, QByteArray::fromHex("0000"));
        row("TCP port retyped", "lineEdit_TCPPort", "50000", 0, QByteArray());
        // The validator lets 70000 stand as unfinished input; only its low 16 bits fit the field.
        row("TCP port above 65535", "lineEdit_TCPPort", "70000", 53, QByteArray::fromHex("7011"));
        row("UDP port", "lineEdit_UDPPort", "65535", 84, QByteArray::fromHex("ffff"));
        row("DHCP off", "checkBox_UseDHCP", QString(), 71, QByteArray::fromHex("a4"));
        row("alternate destination on", "checkBox_UseAltUDP", QString(), 71, QByteArray::fromHex("a7"));
        row("I/Q mode", "radioButtonIQMode", QString(), 87, QByteArray::fromHex("00"));
        row("Aux mode", "radioButtonAuxMode", QString(), 87, QByteArray::fromHex("02"));
        row("UART monitor", "radioButtonUartMonitor", QString(), 734, QByteArray::fromHex("01"));
        row("UART debug", "radioButtonUartDebug", QString(), 734, QByteArray::fromHex("02"));
        row("audio always on", "comboBoxAudioMonitor", "down", 743, QByteArray::fromHex("02"));
        row("audio off", "comboBoxAudioMonitor", "up", 743, QByteArray::fromHex("00"));
        row("10 MHz reference", "comboBoxExtRef", "down", 744, QByteArray::fromHex("01"));
        row("time limit", "spinBoxTimeout", "200", 733, QByteArray::fromHex("c8"));
        // Shorter than the old text: the new text and a zero, the old tail behind it stays.
        row("description", "lineEditSdrDesc", "Attic", 88, QByteArray("Attic\0", 6));
        row("description emptied", "lineEditSdrDesc", "", 88, QByteArray(1, '\0'));
        row("description URL", "lineEditSdrDescUrl", "a.example/b", 239, QByteArray("a.example/b\0", 12));
        row("server URL", "lineEditSdrServerUrl", "srv.example", 390, QByteArray("srv.example\0", 12));
        row("list server", "lineEditListServerUrl", "ls.example", 471, QByteArray("ls.example\0", 11));
        row("list server path", "lineEditListServerActionPath", "/x.php", 552, QByteArray("/x.php\0", 7));
        row("receive password", "lineEditRxPw", "pw", 633, QByteArray("pw\0", 3));
        row("transmit password", "lineEditTxPw", "0123456789abcdefXYZ", 650, QByteArray("0123456789abcdef\0", 17));
        row("transmit password retyped", "lineEditTxPw", "secret", 0, QByteArray());
        row("latitude", "lineEditLat", "abc", 667, QByteArray("abc\0", 4));
        row("latitude in ISO 8859-1", "lineEditLat", QStringLiteral("Z\u00fcrich"), 667,
            QByteArray("Z\xfcrich\0", 7));
        row("longitude", "lineEditLon", "2.3522", 700, QByteArray("2.3522\0", 7));
        if (model == "Quillix") {
            row("RF minimum", "SpinBoxRFPortMin", "1.5", 735, QByteArray::fromHex("60e31600"));
            row("RF maximum", "SpinBoxRFPortMax", "30", 739, QByteArray::fromHex("80c3c901"));
        }
    }
}

void tst_EditQuillDlg::editField()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, path);
    QFETCH(QString, input);
    QFETCH(QByteArray, expected);
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    edit(dlg, path, input);
    clickOk(dlg);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const QByteArray actual = recordOf(dlg);
    QVERIFY2(actual == expected, qPrintable(firstDifference(actual, expected)));
    QVERIFY(dlg.m_Changed);
}

void tst_EditQuillDlg::untouched_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("how");
    for (const char* model : {"Quillix", "Quillrad"}) {
        for (const char* how : {"OK", "Esc", "close box"})
            QTest::addRow("%s, %s", model, how) << makeRecord(model) << QString::fromLatin1(how);
    }
}

void tst_EditQuillDlg::untouched()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, how);
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    if (how == QLatin1String("OK"))
        clickOk(dlg);
    else if (how == QLatin1String("Esc"))
        QTest::keyClick(&dlg, Qt::Key_Escape);
    else
        QVERIFY(dlg.close());
    QVERIFY(!dlg.isVisible());
    // There is no Cancel: every way out applies the form.
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const QByteArray actual = recordOf(dlg);
    QVERIFY2(actual == record, qPrintable(firstDifference(actual, record)));
    QVERIFY(!dlg.m_Changed);
}

void tst_EditQuillDlg::rfRange_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<quint32>("hz");
    QTest::addColumn<double>("shownMHz");
    QTest::addColumn<quint32>("stored");
    QTest::addColumn<bool>("changed");
    QTest::addRow("min 0") << 735 << 0u << 0.0 << 0u << false;
    QTest::addRow("max 56 MHz") << 739 << 56000000u << 56.0 << 56000000u << false;
    QTest::addRow("min below 1 kHz resolution") << 735 << 1234567u << 1.235 << 1235000u << true;
    QTest::addRow("max above the range") << 739 << 60000000u << 56.0 << 56000000u << true;
    // Formed in double precision, 0.3 MHz comes back as exactly 300000.
    QTest::addRow("min 0.3 MHz") << 735 << 300000u << 0.3 << 300000u << false;
}

void tst_EditQuillDlg::rfRange()
{
    QFETCH(int, offset);
    QFETCH(quint32, hz);
    QFETCH(double, shownMHz);
    QFETCH(quint32, stored);
    QFETCH(bool, changed);
    const bool isMin = offset == 735;
    QByteArray record = isMin ? makeRecord("Quillix", hz, 56000000) : makeRecord("Quillix", 0, hz);
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    auto* spin = dlg.findChild<QDoubleSpinBox*>(isMin ? "SpinBoxRFPortMin" : "SpinBoxRFPortMax");
    QVERIFY(spin && spin->isVisible());
    QCOMPARE(spin->value(), shownMHz);
    QCOMPARE(spin->text(), QString::number(shownMHz, 'f', 3) + (isMin ? " MHz Min" : " MHz Max"));
    clickOk(dlg);
    QByteArray expected = record;
    for (int i = 0; i < 4; ++i)
        expected[offset + i] = char(stored >> (8 * i));
    const QByteArray actual = recordOf(dlg);
    QVERIFY2(actual == expected, qPrintable(firstDifference(actual, expected)));
    QCOMPARE(dlg.m_Changed, changed);
}

void tst_EditQuillDlg::quillradKeepsRfRange()
{
    // Values the spin boxes could not hold: for this model they are never read back.
    const QByteArray record = makeRecord("Quillrad", 1234567, 60000000);
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    auto* group = dlg.findChild<QGroupBox*>("groupBox_PortRange");
    QVERIFY(group);
    QVERIFY(!group->isVisible());
    clickOk(dlg);
    QCOMPARE(recordOf(dlg).mid(735, 8), record.mid(735, 8));
    QCOMPARE(recordOf(dlg), record);
    QVERIFY(!dlg.m_Changed);
}

void tst_EditQuillDlg::longDescription()
{
    const QByteArray record = makeRecord("Quillix");
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    QByteArray typed;
    for (int i = 0; i < 151; ++i)
        typed += char('A' + i % 26);
    // The 151st character does not fit into the field and is refused.
    edit(dlg, "lineEditSdrDesc", QString::fromLatin1(typed));
    clickOk(dlg);
    QByteArray expected = record;
    put(expected, 88, typed.left(150) + '\0');
    QCOMPARE(recordOf(dlg).mid(88, 151), expected.mid(88, 151));
    QCOMPARE(recordOf(dlg), expected);
    QVERIFY(dlg.m_Changed);
}

void tst_EditQuillDlg::returnMovesFocus_data()
{
    QTest::addColumn<int>("key");
    QTest::addRow("Return") << int(Qt::Key_Return);
    QTest::addRow("Enter") << int(Qt::Key_Enter);
}

void tst_EditQuillDlg::returnMovesFocus()
{
    QFETCH(int, key);
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, makeRecord("Quillix")));
    auto* desc = dlg.findChild<QLineEdit*>("lineEditSdrDesc");
    auto* url = dlg.findChild<QLineEdit*>("lineEditSdrDescUrl");
    QVERIFY(desc && url);
    desc->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), desc);
    QTest::keyClick(desc, Qt::Key(key));
    QCOMPARE(QApplication::focusWidget(), url);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), 0);
}

void tst_EditQuillDlg::deviceInfo()
{
    CEditQuillDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Quillrad Setup"));
    QVERIFY(open(dlg, makeRecord("Quillix")));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Quillix Setup"));
    auto* label = dlg.findChild<QLabel*>("labelDevice");
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Device = Quillix   Serial Number = QX123456  MAC = ab:cd:ef:12:34:56\n"
                                           "Firmware Version = 2.5  Boot Version = 1  HW Version = 1.23"));
}

void tst_EditQuillDlg::opModeReset()
{
    // The update dialog switches the record to I/Q mode behind the form's back; OK restores what the form shows.
    const QByteArray record = makeRecord("Quillix");
    CEditQuillDlg dlg;
    QVERIFY(open(dlg, record));
    dlg.m_Record[87] = 0;
    clickOk(dlg);
    QCOMPARE(recordOf(dlg), record);
    QVERIFY(dlg.m_Changed);
}

QTEST_MAIN(tst_EditQuillDlg)
#include "tst_editquilldlg.moc"
