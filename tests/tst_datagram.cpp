#include "DiscoveryDatagram.h"
#include "ImagePathSet.h"
#include "ReceiverModel.h"
#include "ReplyTable.h"

#include <QtTest>
#include <cstring>

// The wire layout, pinned with bytes written out by hand.
class tst_Datagram : public QObject {
    Q_OBJECT
private slots:
    void model_data()
    {
        // The model table, pinned by hand: a known name, its product ID, settings-key suffix and RF range.
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<quint32>("productId");  // 0: not a known model
        QTest::addColumn<QString>("keySuffix");
        QTest::addColumn<bool>("rfRange");
        QTest::addRow("Quillrad") << QByteArray("Quillrad") << 0x44535551u << "SDR" << false;
        QTest::addRow("Quillix") << QByteArray("Quillix") << 0x51495551u << "IQ" << true;
        QTest::addRow("trailing blank") << QByteArray("Quillrad ") << 0u << "" << false;
        QTest::addRow("lower case") << QByteArray("quillix") << 0u << "" << false;
        QTest::addRow("prefix") << QByteArray("Quill") << 0u << "" << false;
        QTest::addRow("16 chars, no zero") << QByteArray("QuillixQuillixQu") << 0u << "" << false;
    }

    void model()
    {
        QFETCH(QByteArray, name);
        QFETCH(quint32, productId);
        QFETCH(QString, keySuffix);
        QFETCH(bool, rfRange);
        quint8 rec[Disc::RecordSize] = {};
        std::memcpy(rec + 5, name.constData(), size_t(name.size()));
        rec[21] = 'X';  // a field with no zero byte must end at the field's end, not run into SerialNum
        QCOMPARE(Disc::isKnownModel(rec), productId != 0);
        QCOMPARE(Disc::text(rec, Disc::ModelName), QString::fromLatin1(name.left(16)));
        const ReceiverModel* m = Models::byHeader(rec);
        QCOMPARE(m != nullptr, productId != 0);
        // An unknown model is programmed as the first one.
        QCOMPARE(Models::ofHeader(rec).productId, productId ? productId : 0x44535551u);
        if (!m)
            return;
        QCOMPARE(Models::byProductId(productId), m);
        QCOMPARE(QString::fromLatin1(m->keySuffix), keySuffix);
        QCOMPARE(m->hasRfRange, rfRange);
        QCOMPARE(ImagePathSet::key(ImagePathSet::index(*m, ImagePathSet::Config1)), "Config1Path" + keySuffix);
        QCOMPARE(ImagePathSet::key(ImagePathSet::index(*m, ImagePathSet::App2)), "App2Path" + keySuffix);
    }

    void textField_data()
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

    void textField()
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

    void conversions()
    {
        quint8 rec[Disc::RecordSize] = {};
        const quint8 ip[] = {10, 1, 168, 192};
        std::memcpy(rec + 37, ip, 4);
        QCOMPARE(Disc::addressText(rec, Disc::OffIPAdr), QStringLiteral("192.168.1.10"));
        QCOMPARE(Disc::u32(rec, 37), 0xC0A8010Au);
        const quint8 mac[] = {0x0f, 0xee, 0x01, 0x00, 0xab, 0x02};
        std::memcpy(rec + 56, mac, 6);
        QCOMPARE(Disc::macText(rec), QStringLiteral("02:ab:00:01:ee:0f"));
        QStringList versions;
        for (const int v : {123, 100, 250, 7, 65535})
            versions << Disc::versionText(quint16(v));
        QCOMPARE(versions, (QStringList{"1.23", "1", "2.5", "0.07", "655.35"}));
    }

    void shortReplyLeavesZeros()
    {
        // A new cycle writes its rows over the last one's: a short reply of a known model must not carry
        // an earlier receiver's passwords and names, which a Set made from its row would broadcast.
        Disc::ReplyTable table(32);
        quint8 d[Disc::RecordSize];
        std::memset(d, 0x77, sizeof d);
        std::memcpy(d, "\x5e\x03\x5a\xa5\x01Quillrad\0", 14);
        QCOMPARE(table.accept(d, Disc::RecordSize).row, 0);
        table.rows = 0;
        std::memset(d + 100, 0, sizeof d - 100);  // what the window's receive buffer holds behind 100 bytes
        std::memcpy(d + 21, "B2\0", 3);
        QCOMPARE(table.accept(d, 100).row, 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(table.record(0)) + 100, Disc::RecordSize - 100),
                 QByteArray(Disc::RecordSize - 100, '\0'));
    }

    void smallTable_data()
    {
        QTest::addColumn<QStringList>("serials");  // answers, in order, to a table of 3 rows
        QTest::addColumn<QVector<int>>("last");    // the last answer's removed row, appended row, dropped
        QTest::addColumn<QString>("listed");       // each row's serial and the number of the answer it holds
        QTest::addRow("the third fills the last row") << QStringList{"A", "B", "C"} << QVector<int>{-1, 2, 0} << "A0 B1 C2";
        QTest::addRow("the fourth is dropped") << QStringList{"A", "B", "C", "D"} << QVector<int>{-1, -1, 1} << "A0 B1 C2";
        QTest::addRow("a prefix of a listed serial is dropped") << QStringList{"AB", "B", "C", "A"} << QVector<int>{-1, -1, 1}
                                                                << "AB0 B1 C2";
        QTest::addRow("a listed serial while full replaces its row") << QStringList{"A", "B", "C", "D", "B"}
                                                                     << QVector<int>{1, 2, 0} << "A0 C2 B4";
    }

    void smallTable()
    {
        QFETCH(QStringList, serials);
        QFETCH(QVector<int>, last);
        QFETCH(QString, listed);
        Disc::ReplyTable table(3);
        Disc::ReplyTable::Outcome out;
        for (int i = 0; i < serials.size(); ++i) {
            quint8 d[Disc::RecordSize] = {0x5e, 0x03, 0x5a, 0xa5, 0x01, 'Q', 'u', 'i', 'l', 'l', 'r', 'a', 'd'};
            std::memcpy(d + 21, qPrintable(serials[i]), size_t(serials[i].size()));
            d[100] = quint8('0' + i);  // in the record only: which answer a row holds
            out = table.accept(d, Disc::RecordSize);
        }
        QCOMPARE((QVector<int>{out.removedRow, out.row, out.dropped}), last);
        QStringList rows;
        for (int row = 0; row < table.rows; ++row)
            rows << Disc::text(table.header(row), Disc::SerialNum) + QChar(table.record(row)[100]);
        QCOMPARE(rows.join(' '), listed);
    }
};

QTEST_GUILESS_MAIN(tst_Datagram)
#include "tst_datagram.moc"
