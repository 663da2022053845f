#include "FirmwareImage.h"
#include "Fixtures.h"
#include "TestLog.h"

#include <QtTest>

using namespace Fixtures;
using Img = CFirmwareImage;

namespace {

constexpr int BinRoom = Img::BufferSize - Img::AppStart;  ///< bytes behind the bootloader area
constexpr qint64 NoCheck = -1;                             ///< m_MaxFileAdr column: not compared

/// Intel HEX text placing `image` at buffer position `pos`, 16 bytes a line, no end record.
QByteArray hexBody(const QByteArray& image, quint32 pos = Img::AppStart) { return hexFile(image, pos, 16, "\n", false); }

const QByteArray HexEnd = hexRecord(1, 0, {});

}  // namespace

struct ReadRow {
    QString name;        // ".bit": configuration, else application
    QByteArray content;  // null: no file
    quint32 productId;
    int number, result;
    QString logLine;     // empty: not checked
    qint64 maxFileAdr;
};
Q_DECLARE_METATYPE(ReadRow)

class tst_FirmwareImage : public QObject {
    Q_OBJECT

private slots:
    void init() { m_log.start(); }
    void cleanup() { m_log.stop(); }

    void crc()
    {
        // CRC-32/MPEG-2 of little-endian words fed most significant byte first: one word, and 256 words
        // that carry every byte value.
        const quint8 abcd[] = {'a', 'b', 'c', 'd'};
        QCOMPARE(m_image.Crc(abcd, 1), 0xA62F1C36u);
        quint8 bytes[1024];
        for (int i = 0; i < 1024; ++i)
            bytes[i] = quint8(i);
        QCOMPARE(m_image.Crc(bytes, 256), 0x8ADA4578u);
    }

    void read_data()
    {
        QTest::addColumn<ReadRow>("row");

        const QByteArray bin1000 = appImage(1000, Qusd, 1);
        const QByteArray hex1000 = hexBody(bin1000) + HexEnd;
        auto hexAt = [](quint32 pos) { return hexBody(appImage(0x220, Qusd, 0)) + hexBody("\x11", pos) + HexEnd; };
        QByteArray badSum = hex1000;
        badSum[badSum.indexOf('\n', 40) - 1] = badSum[badSum.indexOf('\n', 40) - 1] == '0' ? '1' : '0';
        QByteArray noColon = hex1000;
        noColon[noColon.indexOf('\n') + 1] = ';';  // the rest of the line still a valid record
        // Start-address records whose address field points past the image: read as data they would move m_MaxFileAdr.
        const QByteArray startRecs = hexRecord(3, 0x8000, QByteArray::fromHex("00000100")) + hexRecord(5, 0x8000, QByteArray::fromHex("08004000"));

        QTest::addRow("bin 1000 bytes, bank 1, app 1") << ReadRow{"a.bin", bin1000, Qusd, 1, 0, "Bin App Read  17388 Ok Bank = 1", 0x43EC};
        QTest::addRow("bin bank 1 read as app 0") << ReadRow{"a.bin", bin1000, Qusd, 0, 3, "", NoCheck};
        QTest::addRow("bin 1001 bytes, Quillix bank 2") << ReadRow{"a.bin", appImage(1001, Quiq, 2), Quiq, 2, 0, "ChkLoc=0x43EC   0x4200", 0x43F0};
        QTest::addRow("bin product ID mismatch") << ReadRow{"a.bin", bin1000, Quiq, 1, 3, "Product ID mismatch", NoCheck};
        QTest::addRow("bin too short for the product ID") << ReadRow{"a.bin", bin1000.left(0x200), Qusd, 1, 3, "Product ID mismatch", NoCheck};
        QTest::addRow("bin bank 3") << ReadRow{"a.bin", appImage(1000, Qusd, 3), Qusd, 3, 3, "Invalid App File bank", NoCheck};
        QTest::addRow("bin empty") << ReadRow{"a.bin", QByteArray(""), Qusd, 0, 3, "", NoCheck};
        QTest::addRow("bin largest with room for CRC") << ReadRow{"a.bin", appImage(BinRoom - 8, Qusd, 0), Qusd, 0, 0, "", Img::BufferSize - 4};
        QTest::addRow("bin no room for CRC") << ReadRow{"a.bin", appImage(BinRoom - 7, Qusd, 0), Qusd, 0, 3, "", NoCheck};
        QTest::addRow("txt suffix") << ReadRow{"a.txt", bin1000, Qusd, 1, 1, "", NoCheck};
        QTest::addRow("missing bin") << ReadRow{"a.bin", QByteArray(), Qusd, 1, 1, "", NoCheck};

        QTest::addRow("HEX suffix in capitals, CRLF, text after the end record")
            << ReadRow{"a.HEX", QByteArray(hex1000 + "garbage\n").replace("\n", "\r\n"), Qusd, 1, 0, "Hex App Read  17388 Ok Bank = 1", 0x43EC};
        QTest::addRow("hex start-address records and an empty data record out of range, no end record")
            << ReadRow{"a.hex", startRecs + hexBody(bin1000) + hexRecord(4, 0, QByteArray::fromHex("0820")) + hexRecord(0, 0, {}), Qusd, 1, 0, "", 0x43EC};
        // Records need not come in address order: the last address written is not the highest.
        QTest::addRow("hex records out of address order")
            << ReadRow{"a.hex", hexBody(bin1000.mid(512), Img::AppStart + 512) + hexBody(bin1000.left(512)) + HexEnd, Qusd, 1, 0, "", 0x43EC};
        QTest::addRow("hex bad checksum") << ReadRow{"a.hex", badSum, Qusd, 1, 4, "", NoCheck};
        QTest::addRow("hex line without its colon") << ReadRow{"a.hex", noColon, Qusd, 1, 4, "", NoCheck};
        QTest::addRow("hex data at 0x08200000") << ReadRow{"a.hex", hexAt(Img::BufferSize), Qusd, 0, 4, "Address Out of Range 200000\n\r", NoCheck};
        QTest::addRow("hex type 2 replaces base, times 16") << ReadRow{"a.hex", hexBody(bin1000) + hexRecord(2, 0, QByteArray::fromHex("1000")) + hexRecord(0, 0, "\x11"),
            Qusd, 1, 4, "Address Out of Range F8010000\n\r", NoCheck};
        QTest::addRow("hex data at last position with room") << ReadRow{"a.hex", hexAt(Img::BufferSize - 9), Qusd, 0, 0, "", Img::BufferSize - 4};
        QTest::addRow("hex no room for CRC") << ReadRow{"a.hex", hexAt(Img::BufferSize - 8), Qusd, 0, 3, "", NoCheck};
        QTest::addRow("hex data at last buffer position") << ReadRow{"a.hex", hexAt(Img::BufferSize - 1), Qusd, 0, 3, "", NoCheck};
        QTest::addRow("hex product ID mismatch") << ReadRow{"a.hex", hex1000, Quiq, 1, 3, "Product ID mismatch", NoCheck};
        QTest::addRow("hex above 6 MiB") << ReadRow{"a.hex", QByteArray(0x600000 + 1, ':'), Qusd, 0, 3, "", NoCheck};
        QTest::addRow("hex record longer than its line") << ReadRow{"a.hex", QByteArray(":1040000000FF\n") + hex1000, Qusd, 1, 4, "", NoCheck};
        QTest::addRow("hex non-hex digit") << ReadRow{"a.hex", QByteArray(":0G0000000\n") + hex1000, Qusd, 1, 4, "", NoCheck};
        QTest::addRow("hex address record without value") << ReadRow{"a.hex", hexRecord(4, 0, {}) + hex1000, Qusd, 1, 4, "", NoCheck};

        const QByteArray quillix03 = bitFile("Quillix_top_03.ncd;UserID=0xFFFFFFFF");
        const QByteArray field64 = "Quillix_top_02.ncd;" + QByteArray(45, 'x');
        const QByteArray quillix01 = "Quillix_01.ncd";
        QTest::addRow("_03.ncd for configuration 3") << ReadRow{"c.bit", quillix03, Quiq, 3, 0, "Cfg number=3 len=4096", 4096};
        QTest::addRow("_03.ncd for configuration 2") << ReadRow{"c.bit", quillix03, Quiq, 2, 3, "", NoCheck};
        QTest::addRow("_3.ncd") << ReadRow{"c.bit", bitFile("Quillix_top_3.ncd"), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("other model's name") << ReadRow{"c.bit", bitFile("Quillrad_03.ncd"), Quiq, 3, 3, "Quillix Not found in file Quillrad_03.ncd", NoCheck};
        QTest::addRow("model name in lower case") << ReadRow{"c.bit", bitFile("quillix_03.ncd"), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("model name after the NUL") << ReadRow{"c.bit", bitFile(QByteArray("top_03.ncd\0Quillix", 18)), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("key char not a") << ReadRow{"c.bit", bitFile("Quillix_03.ncd", 4096, 'b'), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("field length 64") << ReadRow{"c.bit", bitFile(field64), Quiq, 2, 0, "Field length=64", NoCheck};
        QTest::addRow("field length 65") << ReadRow{"c.bit", bitFile(field64 + 'x'), Quiq, 2, 3, "", NoCheck};
        QTest::addRow("unknown product: any name") << ReadRow{"c.bit", bitFile("top_02.ncd"), 0u, 2, 0, "", NoCheck};
        QTest::addRow("no dot") << ReadRow{"c.bit", bitFile("Quillix_top_03"), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("first dot decides") << ReadRow{"c.bit", bitFile("Quillix_03.v2_04.ncd"), Quiq, 4, 3, "", NoCheck};
        QTest::addRow("digits at field start") << ReadRow{"c.bit", bitFile("04.ncd Quillix"), Quiq, 4, 0, "", NoCheck};
        QTest::addRow("dot at field start") << ReadRow{"c.bit", bitFile("3.ncd Quillix", 4096, 'a', 0x30), Quiq, 3, 3, "", NoCheck};
        QTest::addRow("configuration 0") << ReadRow{"c.bit", bitFile("Quillix_00.ncd"), Quiq, 0, 3, "", NoCheck};
        QTest::addRow("configuration 5") << ReadRow{"c.bit", bitFile("Quillix_05.ncd"), Quiq, 5, 3, "", NoCheck};
        QTest::addRow("4093 bytes") << ReadRow{"c.bit", bitFile(quillix01, 4093), Quiq, 1, 0, "cfg m_MaxFileAdr=4092", 4092};
        QTest::addRow("largest that fits") << ReadRow{"c.bit", bitFile(quillix01, Img::BufferSize - 4), Quiq, 1, 0, "", Img::BufferSize - 4};
        QTest::addRow("run would leave the buffer") << ReadRow{"c.bit", bitFile(quillix01, Img::BufferSize - 3), Quiq, 1, 3, "", NoCheck};
        QTest::addRow("missing bit") << ReadRow{"c.bit", QByteArray(), Quiq, 1, 1, "", NoCheck};
    }

    void read()
    {
        QFETCH(ReadRow, row);
        const auto& [name, content, productId, number, result, logLine, maxFileAdr] = row;

        const QString path = m_dir.filePath(name);
        QFile::remove(path);
        if (!content.isNull())
            QVERIFY(writeFile(path, content));
        const bool cfg = name.endsWith(".bit");
        QCOMPARE(cfg ? m_image.ReadCfgFile(path, productId, number) : m_image.ReadAppFile(path, productId, number), result);
        if (!logLine.isEmpty())
            QVERIFY2(m_log.contains(logLine), qPrintable(m_log.lines().join(" | ")));
        if (maxFileAdr != NoCheck)
            QCOMPARE(qint64(m_image.m_MaxFileAdr), maxFileAdr);
        if (result != 0)
            return;
        QCOMPARE(m_image.BankNumber(), quint32(number));
        const char* buf = reinterpret_cast<const char*>(m_image.Buffer());
        if (cfg) {  // rows run on one image: nothing of the previous rows' larger files survives behind it
            QCOMPARE(QByteArray(buf, content.size()), content);
            QCOMPARE(QByteArray(buf + content.size(), Img::BufferSize - content.size()), QByteArray(Img::BufferSize - content.size(), char(0xFF)));
            return;
        }
        // Every accepted application: check location stamped at ChkLocPos, CRC there, fill byte after it.
        const quint32 chkLoc = qFromLittleEndian<quint32>(buf + Img::ChkLocPos);
        QCOMPARE(m_image.m_MaxFileAdr, chkLoc + 4);  // with the column above, keeps chkLoc in the buffer
        const quint32 crc = m_image.Crc(m_image.Buffer() + Img::AppStart, (chkLoc - Img::AppStart) / 4);
        QCOMPARE(qFromLittleEndian<quint32>(buf + chkLoc), crc);
        QCOMPARE(quint8(buf[chkLoc + 4]), quint8(0xFF));
        QVERIFY(m_log.contains(QString::asprintf("CRC=0x%X  Adr = 0x%X", crc, chkLoc)));
        QCOMPARE(QByteArray(buf, Img::AppStart), QByteArray(Img::AppStart, char(0xFF)));
        if (name.endsWith(".bin")) {  // the file's bytes, except where the check location is stamped
            const QByteArray data(buf + Img::AppStart, content.size());
            QCOMPARE(data.left(0x200) + data.mid(0x204), content.left(0x200) + content.mid(0x204));
        }
    }

private:
    TestLog m_log;
    QTemporaryDir m_dir;
    Img m_image;
};

QTEST_GUILESS_MAIN(tst_FirmwareImage)
#include "tst_firmwareimage.moc"
