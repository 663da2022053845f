#include "EditQuillDlg.h"
#include "IPEditWidget.h"
#include "Fixtures.h"
#include "TestUi.h"

#include <QtTest>
#include <QtWidgets>

#include <cstring>

namespace {

constexpr int RecordBytes = 862;

void put(QByteArray& r, int off, const QByteArray& bytes)
{
    r.replace(off, bytes.size(), bytes);
}

// Every offset written out by hand, so a wrong offset in the shared layout header shows up here.
// Bytes outside the written fields carry a pattern that must come back untouched.
QByteArray makeRecord(const QByteArray& model, quint32 rfMin = 0, quint32 rfMax = 56000000)
{
    QByteArray r = Fixtures::record(model, 1, 862, QHostAddress(QStringLiteral("192.168.1.10")), 50000);
    put(r, 71, QByteArray::fromHex("a5"));            // DHCP on, alternate off, upper bits set
    put(r, 72, QByteArray::fromHex("00ffffff"));      // 255.255.255.0
    put(r, 76, QByteArray::fromHex("0101a8c0"));      // 192.168.1.1
    put(r, 80, QByteArray::fromHex("0700000a"));      // 10.0.0.7
    put(r, 84, QByteArray::fromHex("51c3"));          // UDP port 50001
    put(r, 86, QByteArray::fromHex("0101"));          // Status in use, Quill mode
    put(r, 88, QByteArray("Rooftop receiver", 17));  // a text and its zero byte
    put(r, 650, QByteArray("secret", 7));
    put(r, 733, QByteArray::fromHex("1e00"));  // 30 minutes, UART normal
    const quint32 rf[2] = {qToLittleEndian(rfMin), qToLittleEndian(rfMax)};
    put(r, 735, QByteArray(reinterpret_cast<const char*>(rf), 8));
    put(r, 743, QByteArray::fromHex("0100"));  // audio only when connected, ext ref off
    return r;
}

bool open(CEditQuillDlg& dlg, const QByteArray& record)
{
    std::memcpy(dlg.m_Record, record.constData(), RecordBytes);
    dlg.FillForm();
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    return QTest::qWaitForWindowActive(&dlg);
}

} // namespace

/// A record opened in the dialog, its edits (`path`: a widget's object name, or "editor.field" for one
/// octet of an address editor; several joined by '|', as are their inputs; empty for none), how the
/// dialog is closed, and the record it leaves.
struct EditRow {
    QByteArray record;
    QString path, input, closeBy;
    QByteArray expected;
    bool changed;
};
Q_DECLARE_METATYPE(EditRow)

// The settings dialog driven as a person would: type, click, choose, then close it.
class tst_EditQuillDlg : public QObject {
    Q_OBJECT
private slots:
    void edit_data()
    {
        QTest::addColumn<EditRow>("row");

        QByteArray longText;
        for (int i = 0; i < 151; ++i)
            longText += char('A' + i % 26);
        for (const ReceiverModel& m : Models::All) {
            const QByteArray model = m.name, base = makeRecord(model);
            const auto row = [&](const char* name, const QString& path, const QString& input, int off,
                                 const QByteArray& bytes, bool changed = true) {
                QByteArray expected = base;
                put(expected, off, bytes);
                QTest::addRow("%s: %s", model.constData(), name) << EditRow{base, path, input, "OK", expected, changed};
            };
            row("subnet mask", "IPEditwidget_IP_SM.lineEdit_B0", "128", 72, QByteArray::fromHex("80"));
            row("alternate address", "IPEditwidget_IP_UDP.lineEdit_B2", "9", 82, QByteArray::fromHex("09"));
            // An octet emptied, or typed past 255, keeps its value; a retyped one counts as an edit.
            row("IP octet emptied", "IPEditwidget_IP.lineEdit_B2", "", 0, QByteArray(), false);
            row("IP octet 300", "IPEditwidget_IP.lineEdit_B3", "300", 0, QByteArray(), false);
            row("IP octet emptied, another edited", "IPEditwidget_IP.lineEdit_B2|IPEditwidget_IP.lineEdit_B0", "|20", 37,
                QByteArray::fromHex("14"));
            row("IP octet retyped", "IPEditwidget_IP.lineEdit_B3", "192", 0, QByteArray());
            row("gateway octets with leading zeros", "IPEditwidget_IP_GW.lineEdit_B2|IPEditwidget_IP_GW.lineEdit_B1",
                "00|007", 77, QByteArray::fromHex("0700"));
            row("TCP port typed grouped", "lineEdit_TCPPort", "1,234", 53, QByteArray::fromHex("d204"));
            row("TCP port emptied", "lineEdit_TCPPort", "", 53, QByteArray::fromHex("0000"));
            row("TCP port retyped", "lineEdit_TCPPort", "50000", 0, QByteArray());
            row("UDP port", "lineEdit_UDPPort", "65535", 84, QByteArray::fromHex("ffff"));
            // The keystroke that would pass 65535 is refused: never the low 16 bits of 65536 (0).
            row("UDP port 65536", "lineEdit_UDPPort", "65536", 84, QByteArray::fromHex("9919"));
            row("DHCP off", "checkBox_UseDHCP", QString(), 71, QByteArray::fromHex("a4"));
            row("alternate destination on", "checkBox_UseAltUDP", QString(), 71, QByteArray::fromHex("a7"));
            row("I/Q mode", "radioButtonIQMode", QString(), 87, QByteArray::fromHex("00"));
            row("UART debug", "radioButtonUartDebug", QString(), 734, QByteArray::fromHex("02"));
            row("audio always on", "comboBoxAudioMonitor", "Monitor Off;Only When Connected;Always On", 743, QByteArray::fromHex("02"));
            row("10 MHz reference", "comboBoxExtRef", "Ext Ref Off;10 MHz Ref", 744, QByteArray::fromHex("01"));
            row("time limit 255", "spinBoxTimeout", "255", 733, QByteArray::fromHex("ff"));
            row("time limit 256", "spinBoxTimeout", "256", 733, QByteArray::fromHex("19"));  // the 6 is refused
            // Shorter than the old text: the new text and a zero, the old tail behind it stays.
            row("description", "lineEditSdrDesc", "Attic", 88, QByteArray("Attic", 6));
            // The 151st character does not fit and is refused.
            row("description of 151", "lineEditSdrDesc", longText, 88, longText.left(150) + '\0');
            row("description URL", "lineEditSdrDescUrl", "a.example/b", 239, QByteArray("a.example/b", 12));
            row("server URL", "lineEditSdrServerUrl", "srv.example", 390, QByteArray("srv.example", 12));
            row("list server", "lineEditListServerUrl", "ls.example", 471, QByteArray("ls.example", 11));
            row("list server path", "lineEditListServerActionPath", "/x.php", 552, QByteArray("/x.php", 7));
            row("receive password", "lineEditRxPw", "pw", 633, QByteArray("pw", 3));
            row("transmit password", "lineEditTxPw", "0123456789abcdefXYZ", 650, QByteArray("0123456789abcdef", 17));
            row("transmit password retyped", "lineEditTxPw", "secret", 0, QByteArray());
            row("latitude in ISO 8859-1", "lineEditLat", QStringLiteral("Z\u00fcrich"), 667, QByteArray("Z\xfcrich", 7));
            row("longitude", "lineEditLon", "2.3522", 700, QByteArray("2.3522", 7));
            if (m.hasRfRange) {
                row("RF minimum", "SpinBoxRFPortMin", "1.5", 735, QByteArray::fromHex("60e31600"));
                row("RF maximum", "SpinBoxRFPortMax", "30", 739, QByteArray::fromHex("80c3c901"));
            }
            // There is no Cancel: every way out applies the form.
            for (const char* how : {"OK", "Esc", "close box"})
                QTest::addRow("%s: untouched, %s", model.constData(), how) << EditRow{base, "", "", how, base, false};
        }

        // Only what cannot survive the spin boxes (finer than 1 kHz, above 56 MHz) comes back as a change;
        // 0 and 56 MHz are the range of every Quillix row above.
        const auto rf = [](const char* name, quint32 min, quint32 max, quint32 storedMin, quint32 storedMax) {
            QTest::addRow("RF %s", name) << EditRow{makeRecord("Quillix", min, max), "", "", "OK",
                                                    makeRecord("Quillix", storedMin, storedMax),
                                                    min != storedMin || max != storedMax};
        };
        rf("min 0.3 MHz", 300000, 56000000, 300000, 56000000);
        rf("min below 1 kHz resolution", 1234567, 56000000, 1235000, 56000000);
        rf("max above the range", 0, 60000000, 0, 56000000);
        // For Quillrad the range is hidden and never read back.
        const QByteArray quillrad = makeRecord("Quillrad", 1234567, 60000000);
        QTest::addRow("Quillrad keeps its RF bytes") << EditRow{quillrad, "", "", "OK", quillrad, false};
    }

    void edit()
    {
        QFETCH(EditRow, row);
        const auto& [record, path, input, closeBy, expected, changed] = row;
        CEditQuillDlg dlg;
        QVERIFY(open(dlg, record));
        QCOMPARE(child<QGroupBox>(dlg, "groupBox_PortRange")->isVisible(), !record.mid(5).startsWith("Quillrad"));

        const QStringList inputs = input.split('|');
        for (int k = 0; !path.isEmpty() && k < inputs.size(); ++k) {
            const QString widget = path.section('|', k, k);
            QWidget* w = child<QWidget>(dlg, qPrintable(widget.section('.', 0, 0)));
            if (widget.contains('.'))
                w = child<QWidget>(*w, qPrintable(widget.section('.', 1)));
            if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w)) {
                QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClick(w, Qt::Key_Backspace);
                // Each character as its key with itself as text: keyClicks() knows only ASCII.
                for (const QChar c : inputs[k])
                    QTest::sendKeyEvent(QTest::Click, w, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
            } else if (auto* box = qobject_cast<QComboBox*>(w)) {
                // The input names every item in order; one past the last reads empty in both.
                for (int i = 0; i <= box->count(); ++i)
                    QCOMPARE(box->itemText(i), inputs[k].section(';', i, i));
                QTest::keyClick(w, Qt::Key_Down);  // the next item
            } else {
                // On the indicator: short texts leave the middle of a wide button outside its click area.
                QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(6, w->height() / 2));
            }
        }

        closeDialog(dlg, closeBy);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(dlg.m_Record), RecordBytes).toHex(' '), expected.toHex(' '));
        QCOMPARE(dlg.m_Changed, changed);
    }

    void addressAsOneNumber()
    {
        // The 32-bit form: the first octet is the most significant byte, shown first, in plain decimal.
        CIPEditWidget w;
        w.SetAddress(0xC0A8010Au);
        QStringList shown;
        for (const char* name : {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"})
            shown << child<QLineEdit>(w, name)->text();
        QCOMPARE(shown, (QStringList{"192", "168", "1", "10"}));
        quint8 b[4] = {};
        QVERIFY(!w.GetAddress(&b[0], &b[1], &b[2], &b[3]));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), QByteArray::fromHex("c0a8010a"));
    }

    void returnMovesFocus()
    {
        CEditQuillDlg dlg;
        QVERIFY(open(dlg, makeRecord("Quillix")));
        auto* desc = child<QLineEdit>(dlg, "lineEditSdrDesc");
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            desc->setFocus();
            QTRY_COMPARE(QApplication::focusWidget(), desc);
            QTest::keyClick(desc, key);
            QCOMPARE(QApplication::focusWidget(), child<QLineEdit>(dlg, "lineEditSdrDescUrl"));
            QVERIFY(dlg.isVisible());
        }
    }
};

QTEST_MAIN(tst_EditQuillDlg)
#include "tst_editquilldlg.moc"
