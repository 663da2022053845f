#include "DiscoveryDatagram.h"
#include "ImagePathSet.h"
#include "ReceiverModel.h"

#include <QtTest>
#include <cstring>

// The wire layout, pinned with bytes written out by hand.
class tst_Datagram : public QObject {
    Q_OBJECT
private slots:
    void model_data()
    {
        // The model table, pinned by hand: a known name, its product ID and the suffix of its image paths' settings keys.
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<quint32>("productId");  // 0: not a known model
        QTest::addColumn<QString>("keySuffix");
        QTest::addRow("Quillrad") << QByteArray("Quillrad") << 0x44535551u << "SDR";
        QTest::addRow("Quillix") << QByteArray("Quillix") << 0x51495551u << "IQ";
        QTest::addRow("trailing blank") << QByteArray("Quillrad ") << 0u << "";
        QTest::addRow("lower case") << QByteArray("quillix") << 0u << "";
        QTest::addRow("prefix") << QByteArray("Quill") << 0u << "";
        QTest::addRow("16 chars, no zero") << QByteArray("QuillixQuillixQu") << 0u << "";
    }

    void model()
    {
        QFETCH(QByteArray, name);
        QFETCH(quint32, productId);
        QFETCH(QString, keySuffix);
        quint8 rec[Disc::RecordSize] = {};
        std::memcpy(rec + 5, name.constData(), size_t(name.size()));
        rec[21] = 'X';  // a field with no zero byte must end at the field's end, not run into SerialNum
        QCOMPARE(Disc::isKnownModel(rec), productId != 0);
        QCOMPARE(Disc::text(rec, Disc::ModelName), QString::fromLatin1(name.left(16)));
        const ReceiverModel* m = Models::byHeader(rec);
        // An unknown model is programmed as the first one.
        QCOMPARE(Models::ofHeader(rec).productId, productId ? productId : 0x44535551u);
        if (!m)
            return;
        QCOMPARE(Models::byProductId(productId), m);
        QCOMPARE(ImagePathSet::key(ImagePathSet::index(*m, ImagePathSet::Config1)), "Config1Path" + keySuffix);
        QCOMPARE(ImagePathSet::key(ImagePathSet::index(*m, ImagePathSet::App2)), "App2Path" + keySuffix);
    }

    void textField_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("reads");
        QTest::addRow("shorter over longer") << QByteArray("51.5074\0", 8) << QStringLiteral("abc")
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
};

QTEST_GUILESS_MAIN(tst_Datagram)
#include "tst_datagram.moc"
