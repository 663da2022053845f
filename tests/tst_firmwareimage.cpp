#include "DiscoveryDatagram.h"
#include "FirmwareImage.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Img = CFirmwareImage;

constexpr quint32 Qusd = Disc::ProductIdQuillrad;
constexpr quint32 Quiq = Disc::ProductIdQuillix;
constexpr int MaxHexText = 0x600000;                       ///< bytes: largest Intel HEX file read
constexpr int BinRoom = Img::BufferSize - Img::AppStart;  ///< bytes behind the bootloader area
constexpr qint64 NoCheck = -1;                             ///< m_MaxFileAdr column: not compared

QStringList g_log;
QtMessageHandler g_previous = nullptr;

void recordLog(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    if (type == QtDebugMsg)
        g_log << msg;
    else
        g_previous(type, ctx, msg);
}

/// CRC-32/MPEG-2 bit by bit, words little-endian fed most significant byte first.
quint32 refCrc(const quint8* p, quint32 words)
{
    quint32 crc = 0xFFFFFFFF;
    for (quint32 w = 0; w < words; ++w)
        for (int b = 3; b >= 0; --b) {
            crc ^= quint32(p[4 * w + b]) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
    return crc;
}

quint32 le32(const quint8* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

/// Application image as it sits in a .bin file: pattern, product ID and bank byte in their places.
QByteArray appImage(int size, quint32 productId, quint8 bank)
{
    QByteArray a(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        a[i] = char(i * 7 + 3);
    for (int i = 0; i < 4 && int(Img::ProductIdPos - Img::AppStart) + i < size; ++i)
        a[Img::ProductIdPos - Img::AppStart + i] = char(productId >> (8 * i));
    if (int(Img::BankPos - Img::AppStart) < size)
        a[Img::BankPos - Img::AppStart] = char(bank);
    return a;
}

QByteArray hexRecord(int type, quint16 address, const QByteArray& data)
{
    QByteArray body;
    body.append(char(data.size())).append(char(address >> 8)).append(char(address)).append(char(type)).append(data);
    int sum = 0;
    for (char c : body)
        sum += quint8(c);
    body.append(char(-sum));
    return ':' + body.toHex().toUpper() + '\n';
}

QByteArray be16(quint16 v)
{
    return QByteArray().append(char(v >> 8)).append(char(v));
}

/// Intel HEX text placing `image` at buffer position `pos`, 16 bytes a line, no end record.
QByteArray hexBody(const QByteArray& image, quint32 pos = Img::AppStart)
{
    QByteArray text;
    quint32 upper = ~0u;
    for (int i = 0; i < image.size(); i += 16, pos += 16) {
        const quint32 adr = Img::HexBase + pos;
        if (adr >> 16 != upper) {
            upper = adr >> 16;
            text += hexRecord(4, 0, be16(quint16(upper)));
        }
        text += hexRecord(0, quint16(adr), image.mid(i, 16));
    }
    return text;
}

const QByteArray HexEnd = hexRecord(1, 0, {});

/// Bitstream file of `size` bytes with the given design-name field, key character and field length.
QByteArray bitFile(const QByteArray& field, int size = 4096, char key = 'a', int length = -1)
{
    QByteArray f = QByteArray::fromHex("00090ff00ff00ff00ff0000001");
    f += key;
    f += be16(quint16(length < 0 ? field.size() : length)) + field;
    while (f.size() < size)
        f += char(0xA5);
    return f.left(size);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

}  // namespace

class tst_FirmwareImage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { g_previous = qInstallMessageHandler(recordLog); }
    void cleanupTestCase() { qInstallMessageHandler(g_previous); }
    void init() { g_log.clear(); }

    void crcOfOneWord();
    void appFile_data();
    void appFile();
    void stamp_data();
    void stamp();
    void cfgFile_data();
    void cfgFile();
    void cfgReplacesOlderImage();

private:
    QTemporaryDir m_dir;
    Img m_image;
};

void tst_FirmwareImage::crcOfOneWord()
{
    const quint8 abcd[] = {'a', 'b', 'c', 'd'};
    QCOMPARE(m_image.Crc(abcd, 1), 0xA62F1C36u);
    QCOMPARE(refCrc(abcd, 1), 0xA62F1C36u);
}

void tst_FirmwareImage::appFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");  // null: no file
    QTest::addColumn<quint32>("productId");
    QTest::addColumn<int>("appNumber");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("logLine");     // empty: not checked
    QTest::addColumn<qint64>("maxFileAdr");

    const QByteArray bin1000 = appImage(1000, Qusd, 1);
    const QByteArray hex1000 = hexBody(bin1000) + HexEnd;
    auto hexAt = [](quint32 pos) { return hexBody(appImage(0x220, Qusd, 0)) + hexBody("\x11", pos) + HexEnd; };
    QByteArray badSum = hex1000;
    badSum[badSum.indexOf('\n', 40) - 1] = badSum[badSum.indexOf('\n', 40) - 1] == '0' ? '1' : '0';
    QByteArray noColon = hex1000;
    noColon.remove(noColon.indexOf('\n') + 1, 1);
    // Start-address records whose address field points past the image: read as data they would move m_MaxFileAdr.
    const QByteArray startRecs = hexRecord(3, 0x8000, QByteArray::fromHex("00000100")) + hexRecord(5, 0x8000, QByteArray::fromHex("08004000"));

    QTest::addRow("bin 1000 bytes, bank 1, app 1") << "a.bin" << bin1000 << Qusd << 1 << 0 << "Bin App Read  17388 Ok Bank = 1" << qint64(0x43EC);
    QTest::addRow("bin bank 1 read as app 0") << "a.bin" << bin1000 << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("bin 1001 bytes") << "a.bin" << appImage(1001, Qusd, 1) << Qusd << 1 << 0 << "ChkLoc=0x43EC   0x4200" << qint64(0x43F0);
    QTest::addRow("bin Quillix bank 2") << "a.bin" << appImage(1000, Quiq, 2) << Quiq << 2 << 0 << "" << qint64(0x43EC);
    QTest::addRow("bin suffix in capitals") << "a.BIN" << bin1000 << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("bin product ID mismatch") << "a.bin" << bin1000 << Quiq << 1 << 3 << "Product ID mismatch" << NoCheck;
    QTest::addRow("bin too short for the product ID") << "a.bin" << bin1000.left(0x200) << Qusd << 1 << 3 << "Product ID mismatch" << NoCheck;
    QTest::addRow("bin bank 3") << "a.bin" << appImage(1000, Qusd, 3) << Qusd << 3 << 3 << "Invalid App File bank" << NoCheck;
    QTest::addRow("bin empty") << "a.bin" << QByteArray("") << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("bin largest with room for CRC") << "a.bin" << appImage(BinRoom - 8, Qusd, 0) << Qusd << 0 << 0 << "" << qint64(Img::BufferSize - 4);
    QTest::addRow("bin no room for CRC") << "a.bin" << appImage(BinRoom - 7, Qusd, 0) << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("bin larger than the space behind the bootloader") << "a.bin" << appImage(BinRoom + 1, Qusd, 0) << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("txt suffix") << "a.txt" << bin1000 << Qusd << 1 << 1 << "" << NoCheck;
    QTest::addRow("missing bin") << "a.bin" << QByteArray() << Qusd << 1 << 1 << "" << NoCheck;

    QTest::addRow("HEX suffix in capitals") << "a.HEX" << hex1000 << Qusd << 1 << 0 << "Hex App Read  17388 Ok Bank = 1" << qint64(0x43EC);
    QTest::addRow("hex CRLF line ends") << "a.hex" << QByteArray(hex1000).replace("\n", "\r\n") << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("hex without end record") << "a.hex" << hexBody(bin1000) << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("hex start-address records skipped") << "a.hex" << startRecs + hex1000 << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("hex text after end record ignored") << "a.hex" << hex1000 + "garbage\n" << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("hex bad checksum") << "a.hex" << badSum << Qusd << 1 << 4 << "" << NoCheck;
    QTest::addRow("hex missing colon") << "a.hex" << noColon << Qusd << 1 << 4 << "" << NoCheck;
    QTest::addRow("hex data at 0x08200000") << "a.hex" << hexAt(Img::BufferSize) << Qusd << 0 << 4 << "Address Out of Range 200000\n\r" << NoCheck;
    QTest::addRow("hex type 2 replaces base, times 16") << "a.hex" << hexBody(bin1000) + hexRecord(2, 0, be16(0x1000)) + hexRecord(0, 0, "\x11")
                                                        << Qusd << 1 << 4 << "Address Out of Range F8010000\n\r" << NoCheck;
    QTest::addRow("hex empty data record out of range") << "a.hex" << hexBody(bin1000) + hexRecord(4, 0, be16(0x0820)) + hexRecord(0, 0, {}) + HexEnd << Qusd << 1 << 0 << "" << qint64(0x43EC);
    QTest::addRow("hex data at last position with room") << "a.hex" << hexAt(Img::BufferSize - 9) << Qusd << 0 << 0 << "" << qint64(Img::BufferSize - 4);
    QTest::addRow("hex no room for CRC") << "a.hex" << hexAt(Img::BufferSize - 8) << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("hex data at last buffer position") << "a.hex" << hexAt(Img::BufferSize - 1) << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("hex product ID mismatch") << "a.hex" << hex1000 << Quiq << 1 << 3 << "Product ID mismatch" << NoCheck;
    QTest::addRow("hex bank 3") << "a.hex" << hexBody(appImage(1000, Qusd, 3)) << Qusd << 3 << 3 << "" << NoCheck;
    QTest::addRow("hex bank 1 read as app 2") << "a.hex" << hex1000 << Qusd << 2 << 3 << "" << NoCheck;
    QTest::addRow("hex empty") << "a.hex" << QByteArray("") << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("hex above 6 MiB") << "a.hex" << QByteArray(MaxHexText + 1, ':') << Qusd << 0 << 3 << "" << NoCheck;
    QTest::addRow("hex line under 11 chars") << "a.hex" << QByteArray(":00000001\n") << Qusd << 0 << 4 << "" << NoCheck;
    QTest::addRow("hex record longer than its line") << "a.hex" << QByteArray(":1040000000FF\n") + hex1000 << Qusd << 1 << 4 << "" << NoCheck;
    QTest::addRow("hex non-hex digit") << "a.hex" << QByteArray(":0G0000000\n") + hex1000 << Qusd << 1 << 4 << "" << NoCheck;
    QTest::addRow("hex address record without value") << "a.hex" << hexRecord(4, 0, {}) + hex1000 << Qusd << 1 << 4 << "" << NoCheck;
}

void tst_FirmwareImage::appFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(quint32, productId);
    QFETCH(int, appNumber);
    QFETCH(int, result);
    QFETCH(QString, logLine);
    QFETCH(qint64, maxFileAdr);

    const QString path = m_dir.filePath(name);
    QFile::remove(path);
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
    QCOMPARE(m_image.ReadAppFile(path, productId, appNumber), result);
    if (!logLine.isEmpty())
        QVERIFY2(g_log.contains(logLine), qPrintable(g_log.join(" | ")));
    if (maxFileAdr != NoCheck)
        QCOMPARE(qint64(m_image.m_MaxFileAdr), maxFileAdr);
    if (result == 0)
        QCOMPARE(m_image.BankNumber(), quint32(appNumber));
}

void tst_FirmwareImage::stamp_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("chkLoc");
    QTest::addRow("bin 1000") << "s.bin" << 1000 << 0x43E8u;
    QTest::addRow("bin 1001") << "s.bin" << 1001 << 0x43ECu;
    QTest::addRow("hex 1000") << "s.hex" << 1000 << 0x43E8u;
    QTest::addRow("hex 1003") << "s.hex" << 1003 << 0x43ECu;
}

void tst_FirmwareImage::stamp()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(quint32, chkLoc);

    const QByteArray image = appImage(size, Quiq, 1);
    const QString path = m_dir.filePath(name);
    QVERIFY(writeFile(path, name.endsWith("hex") ? hexBody(image) + HexEnd : image));
    QCOMPARE(m_image.ReadAppFile(path, Quiq, 1), 0);

    const quint8* buf = m_image.Buffer();
    QCOMPARE(le32(buf + Img::ChkLocPos), chkLoc);
    const quint32 crc = refCrc(buf + Img::AppStart, (chkLoc - Img::AppStart) / 4);
    QCOMPARE(le32(buf + chkLoc), crc);
    QCOMPARE(m_image.m_MaxFileAdr, chkLoc + 4);
    QCOMPARE(buf[chkLoc + 4], quint8(0xFF));
    QVERIFY(g_log.contains(QString::asprintf("CRC=0x%X  Adr = 0x%X", crc, chkLoc)));
    // The last data byte stays below the check location; the bootloader area stays erased.
    QCOMPARE(buf[Img::AppStart + size - 1], quint8(image.back()));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buf), Img::AppStart), QByteArray(Img::AppStart, char(0xFF)));
}

void tst_FirmwareImage::cfgFile_data()
{
    QTest::addColumn<QByteArray>("content");  // null: no file
    QTest::addColumn<quint32>("productId");
    QTest::addColumn<int>("cfgNumber");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<qint64>("maxFileAdr");

    const QByteArray quillix03 = bitFile("Quillix_top_03.ncd;UserID=0xFFFFFFFF");
    const QByteArray field64 = "Quillix_top_02.ncd;" + QByteArray(45, 'x');

    QTest::addRow("_03.ncd for configuration 3") << quillix03 << Quiq << 3 << 0 << "Cfg number=3 len=4096" << qint64(4096);
    QTest::addRow("_03.ncd for configuration 2") << quillix03 << Quiq << 2 << 3 << "" << NoCheck;
    QTest::addRow("_3.ncd") << bitFile("Quillix_top_3.ncd") << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("Quillrad _01.ncd") << bitFile("Quillrad_01.ncd") << Qusd << 1 << 0 << "Field length=15" << qint64(4096);
    QTest::addRow("model name missing") << bitFile(QByteArray("top_03.ncd\0", 11)) << Qusd << 3 << 3 << "Quillrad Not found in file top_03.ncd" << NoCheck;
    QTest::addRow("other model's name") << bitFile("Quillrad_03.ncd") << Quiq << 3 << 3 << "Quillix Not found in file Quillrad_03.ncd" << NoCheck;
    QTest::addRow("model name in lower case") << bitFile("quillix_03.ncd") << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("model name after the NUL") << bitFile(QByteArray("top_03.ncd\0Quillix", 18)) << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("key char not a") << bitFile("Quillix_03.ncd", 4096, 'b') << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("field length 64") << bitFile(field64) << Quiq << 2 << 0 << "Field length=64" << NoCheck;
    QTest::addRow("field length 65") << bitFile(field64 + 'x') << Quiq << 2 << 3 << "" << NoCheck;
    QTest::addRow("unknown product: any name") << bitFile("top_02.ncd") << 0u << 2 << 0 << "" << NoCheck;
    QTest::addRow("unknown product: empty field") << bitFile("") << 0u << 2 << 3 << "Field length=0" << NoCheck;
    QTest::addRow("no dot") << bitFile("Quillix_top_03") << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("first dot decides") << bitFile("Quillix_03.v2_04.ncd") << Quiq << 4 << 3 << "" << NoCheck;
    QTest::addRow("digits at field start") << bitFile("04.ncd Quillix") << Quiq << 4 << 0 << "" << NoCheck;
    QTest::addRow("dot at field start") << bitFile("3.ncd Quillix", 4096, 'a', 0x30) << Quiq << 3 << 3 << "" << NoCheck;
    QTest::addRow("configuration 0") << bitFile("Quillix_00.ncd") << Quiq << 0 << 3 << "" << NoCheck;
    QTest::addRow("configuration 5") << bitFile("Quillix_05.ncd") << Quiq << 5 << 3 << "" << NoCheck;
    QTest::addRow("4093 bytes") << bitFile("Quillix_01.ncd", 4093) << Quiq << 1 << 0 << "cfg m_MaxFileAdr=4092" << qint64(4092);
    QTest::addRow("4094 bytes") << bitFile("Quillix_01.ncd", 4094) << Quiq << 1 << 0 << "" << qint64(4096);
    QTest::addRow("shorter than the header") << bitFile("Quillix_01.ncd", 13) << Quiq << 1 << 3 << "" << NoCheck;
    QTest::addRow("largest that fits") << bitFile("Quillix_01.ncd", Img::BufferSize - 4) << Quiq << 1 << 0 << "" << qint64(Img::BufferSize - 4);
    QTest::addRow("run would leave the buffer") << bitFile("Quillix_01.ncd", Img::BufferSize - 3) << Quiq << 1 << 3 << "" << NoCheck;
    QTest::addRow("empty") << QByteArray("") << Quiq << 1 << 3 << "" << NoCheck;
    QTest::addRow("missing") << QByteArray() << Quiq << 1 << 1 << "" << NoCheck;
}

void tst_FirmwareImage::cfgFile()
{
    QFETCH(QByteArray, content);
    QFETCH(quint32, productId);
    QFETCH(int, cfgNumber);
    QFETCH(int, result);
    QFETCH(QString, logLine);
    QFETCH(qint64, maxFileAdr);

    const QString path = m_dir.filePath("c.bit");
    QFile::remove(path);
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
    QCOMPARE(m_image.ReadCfgFile(path, productId, cfgNumber), result);
    if (!logLine.isEmpty())
        QVERIFY2(g_log.contains(logLine), qPrintable(g_log.join(" | ")));
    if (maxFileAdr != NoCheck)
        QCOMPARE(qint64(m_image.m_MaxFileAdr), maxFileAdr);
    if (result == 0) {
        QCOMPARE(m_image.BankNumber(), quint32(cfgNumber));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(m_image.Buffer()), content.size()), content);
    }
}

void tst_FirmwareImage::cfgReplacesOlderImage()
{
    // A configuration read after a large application image: nothing of the older image survives,
    // and the byte after the file, which the run sends last, is the fill byte.
    const QString bin = m_dir.filePath("big.bin");
    QVERIFY(writeFile(bin, appImage(0x10000, Quiq, 0)));
    QCOMPARE(m_image.ReadAppFile(bin, Quiq, 0), 0);

    const QString bit = m_dir.filePath("r.bit");
    QVERIFY(writeFile(bit, bitFile("Quillix_top_03.ncd")));
    QCOMPARE(m_image.ReadCfgFile(bit, Quiq, 3), 0);
    QCOMPARE(m_image.m_MaxFileAdr, 4096u);
    const quint8* buf = m_image.Buffer();
    for (quint32 p = 4096; p < Img::BufferSize; ++p)
        QVERIFY2(buf[p] == 0xFF, qPrintable(QString::number(p, 16)));
}

QTEST_GUILESS_MAIN(tst_FirmwareImage)
#include "tst_firmwareimage.moc"
