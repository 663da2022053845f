#include "FirmwareImage.h"

#include "ByteOrder.h"
#include "ImageFile.h"
#include "ReceiverModel.h"

#include <QDebug>
#include <QFileInfo>

#include <array>
#include <cstring>

namespace {

constexpr quint32 CrcPoly = 0x04C11DB7;     ///< CRC-32/MPEG-2 polynomial
constexpr quint32 CrcInit = 0xFFFFFFFF;     ///< CRC register start value
constexpr quint32 WordSize = 4;             ///< bytes per CRC word, per check location and per CRC
constexpr quint8 FillByte = 0xFF;           ///< erased-flash value around every image
constexpr quint8 MaxBank = 2;               ///< highest bank byte an application image may carry
constexpr qint64 MaxHexFileSize = 0x600000; ///< bytes of Intel HEX text

constexpr int HexMinLine = 11;        ///< chars: ":" count, address, type and checksum
constexpr int HexRecordOverhead = 4;  ///< bytes before the data: count, address (2), type
constexpr int HexMaxRecord = 255 + HexRecordOverhead + 1;  ///< bytes of the longest record, checksum included
constexpr int HexLineBuf = 1024;      ///< chars kept per line; the longest record needs 1 + 2 * HexMaxRecord
constexpr quint8 HexData = 0;
constexpr quint8 HexEof = 1;
constexpr quint8 HexExtSegment = 2;
constexpr quint8 HexExtLinear = 4;
constexpr quint32 HexSegmentScale = 16;     ///< type-2 value to address
constexpr quint32 HexLinearScale = 65536;   ///< type-4 value to address

constexpr quint32 CfgKeyPos = 0x0D;       ///< key character of the design-name field
constexpr char CfgKey = 'a';
constexpr quint32 CfgFieldLenPos = 0x0E;  ///< big-endian length of the design-name field
constexpr quint32 CfgFieldPos = 0x10;     ///< first character of the design-name field
constexpr int CfgMaxField = 64;           ///< chars
constexpr int CfgMinNumber = 1;
constexpr int CfgMaxNumber = 4;

/// Value of each ASCII hex digit, -1 for any other byte.
constexpr std::array<qint8, 256> makeHexDigits()
{
    std::array<qint8, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = -1;
    for (int i = 0; i < 10; ++i)
        t['0' + i] = qint8(i);
    for (int i = 0; i < 6; ++i) {
        t['A' + i] = qint8(10 + i);
        t['a' + i] = qint8(10 + i);
    }
    return t;
}
constexpr std::array<qint8, 256> HexDigits = makeHexDigits();

/// Byte from two hex digits at `p`, or -1 when either is not a hex digit.
inline int hexByte(const char* p)
{
    const int hi = HexDigits[quint8(p[0])];
    const int lo = HexDigits[quint8(p[1])];
    return (hi | lo) < 0 ? -1 : (hi << 4) | lo;
}

}  // namespace

CFirmwareImage::CFirmwareImage()
    : m_pBuffer(new quint8[BufferSize])
{
    for (quint32 i = 0; i < 256; ++i) {
        quint32 crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ CrcPoly : crc << 1;
        m_CrcTable[i] = crc;
    }
}

CFirmwareImage::~CFirmwareImage()
{
    delete[] m_pBuffer;
}

quint32 CFirmwareImage::Crc(const quint8* data, quint32 words) const
{
    quint32 crc = CrcInit;
    for (quint32 w = 0; w < words; ++w, data += WordSize) {
        // The device's CRC unit takes whole little-endian words, most significant byte first.
        for (int b = int(WordSize) - 1; b >= 0; --b)
            crc = (crc << 8) ^ m_CrcTable[(crc >> 24) ^ data[b]];
    }
    return crc;
}

int CFirmwareImage::ReadAppFile(const QString& path, quint32 productId, int appNumber)
{
    return ReadApp(ImageFile::load(path), productId, appNumber);
}

int CFirmwareImage::ReadApp(const ImageFile& file, quint32 productId, int appNumber)
{
    if (!file.exists)
        return FileError;
    const QString suffix = QFileInfo(file.path).suffix().toLower();
    int result;
    if (suffix == QLatin1String("hex"))
        result = ReadHexFile(file, productId);
    else if (suffix == QLatin1String("bin"))
        result = ReadBinFile(file, productId);
    else
        return FileError;
    if (result == ReadOk && m_BankNumber != quint32(appNumber))
        return Invalid;
    return result;
}

int CFirmwareImage::ReadBinFile(const ImageFile& file, quint32 productId)
{
    m_BankNumber = 0;
    const qint64 size = file.size;
    m_MaxFileAdr = quint32(size);
    // The file goes behind the bootloader area and still needs room for its CRC.
    if (size <= 0 || size > qint64(m_BufferSize - AppStart) || !RoomForCrc(AppStart + quint32(size) - 1))
        return Invalid;

    if (!file.opened)
        return FileError;
    memset(m_pBuffer, FillByte, m_BufferSize);
    memcpy(m_pBuffer + AppStart, file.bytes.constData(), size_t(file.bytes.size()));
    if (file.bytes.size() != size) {
        qDebug("App file Read Failed");
        m_MaxFileAdr = 0;
        return ShortRead;
    }

    const int header = CheckAppHeader(productId, true);
    if (header != ReadOk)
        return header;
    StampCrc(AppStart + quint32(size) - 1);
    qDebug() << "Bin App Read " << m_MaxFileAdr << "Ok" << "Bank =" << m_BankNumber;
    return ReadOk;
}

int CFirmwareImage::ReadHexFile(const ImageFile& file, quint32 productId)
{
    m_BankNumber = 0;
    const qint64 size = file.size;
    if (size <= 0 || size > MaxHexFileSize)
        return Invalid;
    memset(m_pBuffer, FillByte, m_BufferSize);
    m_MaxFileAdr = 0;
    if (!file.opened)
        return FileError;

    // Lines are parsed in place from the bytes read: a 6 MiB file has about 170000 of them.
    const char* text = file.bytes.constData();
    const char* const end = text + file.bytes.size();
    quint8 rec[HexMaxRecord];
    quint32 extAddress = 0;
    while (text < end) {
        const char* nl = static_cast<const char*>(memchr(text, '\n', size_t(end - text)));
        const char* next = nl ? nl + 1 : end;
        const char* line = text;
        // Past the longest record a line holds nothing we use; the rest of an overlong one is dropped.
        qint64 len = qMin<qint64>(next - text, HexLineBuf - 1);
        // A text-mode read: a CR LF line end counts as one character.
        if (len == next - text && len > 1 && line[len - 1] == '\n' && line[len - 2] == '\r')
            --len;
        text = next;
        if (len < HexMinLine || line[0] != ':')
            return HexFormat;
        const int count = hexByte(line + 1);
        if (count < 0)
            return HexFormat;
        // Every record type is checksummed, so every line must hold its whole record
        // (this also covers the longer-than-10-plus-2-count rule of data and address records).
        const int recBytes = count + HexRecordOverhead + 1;
        if (len < 1 + 2 * recBytes)
            return HexFormat;
        quint32 sum = 0;
        for (int i = 0; i < recBytes; ++i) {
            const int b = hexByte(line + 1 + 2 * i);
            if (b < 0)
                return HexFormat;
            rec[i] = quint8(b);
            sum += quint32(b);
        }
        if ((sum & 0xFF) != 0)
            return HexFormat;

        const quint32 address = (quint32(rec[1]) << 8) | rec[2];
        const quint8 type = rec[3];
        const quint8* data = rec + HexRecordOverhead;
        if (type == HexEof)
            break;
        if (type == HexExtSegment || type == HexExtLinear) {
            // The base is a 16-bit value; a shorter record has none.
            if (count < 2)
                return HexFormat;
            const quint32 value = (quint32(data[0]) << 8) | data[1];
            extAddress = value * (type == HexExtSegment ? HexSegmentScale : HexLinearScale);
        } else if (type == HexData) {
            // Unsigned wrap-around sends addresses below HexBase out of range as well.
            const quint32 start = address + extAddress - HexBase;
            for (int i = 0; i < count; ++i) {
                const quint32 pos = start + quint32(i);
                if (pos >= m_BufferSize) {
                    qDebug("Address Out of Range %X\n\r", pos);
                    return HexFormat;
                }
                m_pBuffer[pos] = data[i];
                if (pos > m_MaxFileAdr)
                    m_MaxFileAdr = pos;
            }
        }
    }

    const int header = CheckAppHeader(productId, false);
    if (header != ReadOk)
        return header;
    if (!RoomForCrc(m_MaxFileAdr))
        return Invalid;
    StampCrc(m_MaxFileAdr);
    qDebug() << "Hex App Read " << m_MaxFileAdr << "Ok" << "Bank =" << m_BankNumber;
    return ReadOk;
}

int CFirmwareImage::CheckAppHeader(quint32 productId, bool logBank)
{
    if (Word(ProductIdPos) != productId) {
        qDebug("Product ID mismatch");
        return Invalid;
    }
    m_BankNumber = m_pBuffer[BankPos];
    if (m_BankNumber > MaxBank) {
        if (logBank)
            qDebug("Invalid App File bank");
        return Invalid;
    }
    return ReadOk;
}

bool CFirmwareImage::RoomForCrc(quint32 lastPos) const
{
    // The programming run ends on the fill byte after the CRC, so that byte must be in the buffer too.
    const quint32 chkLoc = (lastPos + WordSize) & ~(WordSize - 1);
    return chkLoc + WordSize < m_BufferSize;
}

void CFirmwareImage::StampCrc(quint32 lastPos)
{
    // The bank byte at BankPos is always part of an accepted image, so the check location lies
    // above ChkLocPos and the CRC below covers the check location itself.
    const quint32 chkLoc = (lastPos + WordSize) & ~(WordSize - 1);
    qDebug("ChkLoc=0x%X   0x%X", chkLoc, ChkLocPos);
    SetWord(ChkLocPos, chkLoc);
    const quint32 crc = Crc(m_pBuffer + AppStart, (chkLoc - AppStart) / WordSize);
    qDebug("CRC=0x%X  Adr = 0x%X", crc, chkLoc);
    SetWord(chkLoc, crc);
    m_MaxFileAdr = chkLoc + WordSize;
}

int CFirmwareImage::ReadCfgFile(const QString& path, quint32 productId, int cfgNumber)
{
    return ReadCfg(ImageFile::load(path), productId, cfgNumber);
}

int CFirmwareImage::ReadCfg(const ImageFile& file, quint32 productId, int cfgNumber)
{
    if (!file.exists)
        return FileError;
    const qint64 size = file.size;
    m_MaxFileAdr = quint32(size);
    // The run ends on the word boundary after the file, which must still be a buffer position.
    if (size <= 0 || size > qint64(m_BufferSize - WordSize))
        return Invalid;

    if (!file.opened)
        return FileError;
    memset(m_pBuffer, FillByte, m_BufferSize);
    memcpy(m_pBuffer, file.bytes.constData(), size_t(file.bytes.size()));
    if (file.bytes.size() != size) {
        qDebug("cfg file Read Failed");
        m_MaxFileAdr = 0;
        return ShortRead;
    }
    qDebug("cfg m_MaxFileAdr=%d", int(size - 1));
    m_MaxFileAdr = (quint32(size) - 1 + WordSize - 1) & ~(WordSize - 1);

    const int fieldLen = (int(m_pBuffer[CfgFieldLenPos]) << 8) | m_pBuffer[CfgFieldLenPos + 1];
    if (m_pBuffer[CfgKeyPos] != quint8(CfgKey) || fieldLen > CfgMaxField)
        return Invalid;
    qDebug("Field length=%d", fieldLen);

    const char* field = reinterpret_cast<const char*>(m_pBuffer + CfgFieldPos);
    const char* nul = static_cast<const char*>(memchr(field, 0, size_t(fieldLen)));
    const QByteArray name = QByteArray::fromRawData(field, nul ? int(nul - field) : fieldLen);
    const ReceiverModel* known = Models::byProductId(productId);
    const char* model = known ? known->name : "";
    if (!name.contains(model)) {
        qDebug().noquote() << model << "Not found in file" << QString::fromLatin1(name);
        return Invalid;
    }

    if (fieldLen == 0)
        return Invalid;
    const char* dot = static_cast<const char*>(memchr(field, '.', size_t(fieldLen)));
    // The two digits must belong to the design name, not to the length bytes in front of it.
    if (!dot || dot - field < 2)
        return Invalid;
    if (cfgNumber < CfgMinNumber || cfgNumber > CfgMaxNumber || dot[-2] != '0' || dot[-1] != char('0' + cfgNumber))
        return Invalid;
    m_BankNumber = quint32(cfgNumber);
    qDebug("Cfg number=%d len=%d", cfgNumber, int(m_MaxFileAdr));
    return ReadOk;
}

quint32 CFirmwareImage::Word(quint32 pos) const
{
    return LE::u32(m_pBuffer, int(pos));
}

void CFirmwareImage::SetWord(quint32 pos, quint32 value)
{
    LE::setU32(m_pBuffer, int(pos), value);
}
