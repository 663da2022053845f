#include "DiscoveryDatagram.h"

#include <QtTest>
#include <cstring>

// The wire layout, pinned with bytes written out by hand.
class tst_Datagram : public QObject {
    Q_OBJECT
private slots:
    void model_data();
    void model();
    void textField_data();
    void textField();
    void conversions();
};

void tst_Datagram::model_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("quillix");
    QTest::addRow("Quillrad") << QByteArray("Quillrad") << true << false;
    QTest::addRow("Quillix") << QByteArray("Quillix") << true << true;
    QTest::addRow("trailing blank") << QByteArray("Quillrad ") << false << false;
    QTest::addRow("lower case") << QByteArray("quillix") << false << false;
    QTest::addRow("prefix") << QByteArray("Quill") << false << false;
    QTest::addRow("16 chars, no zero") << QByteArray("QuillixQuillixQu") << false << false;
}

void tst_Datagram::model()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, known);
    QFETCH(bool, quillix);
    quint8 rec[Disc::RecordSize] = {};
    std::memcpy(rec + 5, name.constData(), size_t(name.size()));
    rec[21] = 'X';  // a field with no zero byte must end at the field's end, not run into SerialNum
    QCOMPARE(Disc::isKnownModel(rec), known);
    QCOMPARE(Disc::isQuillix(rec), quillix);
    QCOMPARE(Disc::productIdFor(rec), quillix ? 0x51495551u : 0x44535551u);
    QCOMPARE(Disc::text(rec, Disc::ModelName), QString::fromLatin1(name.left(16)));
}

void tst_Datagram::textField_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("reads");
    QByteArray old("51.5074");
    old.append('\0');
    QTest::addRow("shorter over longer") << old << QStringLiteral("abc")
                                         << QByteArray("abc\0" "074\0", 8) << QStringLiteral("abc");
    QTest::addRow("latin1 and unmappable") << QByteArray(1, '\0') << QString::fromUtf8("\xc3\xa9\xe2\x82\xac")
                                           << QByteArray("\xe9?\0", 3) << QString::fromUtf8("\xc3\xa9?");
    QTest::addRow("too long cut to 32") << QByteArray(1, '\0') << QString(40, QLatin1Char('x'))
                                        << QByteArray(32, 'x') + QByteArray(1, '\0') << QString(32, QLatin1Char('x'));
}

void tst_Datagram::textField()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, written);
    QFETCH(QByteArray, after);
    QFETCH(QString, reads);
    quint8 rec[Disc::RecordSize];
    std::memset(rec, 0x77, sizeof rec);
    std::memcpy(rec + Disc::Lat.offset, before.constData(), size_t(before.size()));
    Disc::setText(rec, Disc::Lat, written);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(rec + Disc::Lat.offset), after.size()), after);
    QCOMPARE(Disc::text(rec, Disc::Lat), reads);
    QCOMPARE(rec[Disc::Lon.offset], quint8(0x77));  // the neighbour is never touched
}

void tst_Datagram::conversions()
{
    quint8 rec[Disc::RecordSize] = {};
    const quint8 ip[] = {10, 1, 168, 192};
    std::memcpy(rec + 37, ip, 4);
    QCOMPARE(Disc::addressText(rec, Disc::OffIPAdr), QStringLiteral("192.168.1.10"));
    QCOMPARE(Disc::u32(rec, 37), 0xC0A8010Au);
    const quint8 mac[] = {0x0f, 0xee, 0x01, 0x00, 0xab, 0x02};
    std::memcpy(rec + 56, mac, 6);
    QCOMPARE(Disc::macText(rec), QStringLiteral("02:ab:00:01:ee:0f"));
    QCOMPARE(Disc::versionText(123), QStringLiteral("1.23"));
    QCOMPARE(Disc::versionText(100), QStringLiteral("1"));
    QCOMPARE(Disc::versionText(250), QStringLiteral("2.5"));
    QCOMPARE(Disc::versionText(7), QStringLiteral("0.07"));
    QCOMPARE(Disc::versionText(65535), QStringLiteral("655.35"));
}

QTEST_GUILESS_MAIN(tst_Datagram)
#include "tst_datagram.moc"
