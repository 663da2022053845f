#pragma once

#include "ByteOrder.h"
#include "ReceiverModel.h"
#include "FirmwareImage.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>

/// Shared by the fuzzers: quiet logging; for the image readers, input file, reader parameters, and
/// the checks a caller relies on.
namespace ImageFuzz {

/// Product IDs the selector byte chooses from: every model's, in the table's order, then two no model has.
constexpr int ProductIdCount = Models::Count + 2;

/// Reader parameters taken from the input's first byte, so one input exercises one model and slot.
struct Params {
    quint32 productId;  ///< product ID handed to the reader
    int number;         ///< application or configuration number handed to the reader
};

/// Decodes the selector byte: the remainder by ProductIdCount picks the product ID (0xFFFFFFFF and 0
/// behind the models'), the quotient the number modulo `numbers`.
inline Params Select(quint8 selector, int numbers)
{
    const int p = selector % ProductIdCount;
    const quint32 id = p < Models::Count ? Models::All[size_t(p)].productId : p == Models::Count ? 0xFFFFFFFF : 0;
    return {id, (selector / ProductIdCount) % numbers};
}

/// A message handler that drops the log lines, which would only slow the run; installed before
/// libFuzzer starts, in every fuzzer that includes this header.
inline const QtMessageHandler Quiet = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg)
        abort();
});

/// Writes `data` to `fileName` in a directory that lives as long as the process; returns the path.
inline QString WriteInput(const char* fileName, const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromLatin1(fileName));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        abort();
    return path;
}

/// Rewrites the checksum of every record line whose digits are all there, so that mutated counts,
/// addresses and types get past the checksum test and reach the address logic behind it.
inline void FixHexChecksums(QByteArray& text)
{
    for (int start = 0; start < text.size();) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const int count = text.mid(start + 1, 2).toInt(nullptr, 16);
        const QByteArray digits = text.mid(start + 1, 2 * (count + 4));  // count, address, type, data
        const int csPos = start + 1 + int(digits.size());
        if (text[start] == ':' && count >= 0 && csPos + 2 <= end
            && std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(quint8(c)) != 0; })) {
            quint8 sum = 0;
            for (const char b : QByteArray::fromHex(digits))
                sum = quint8(sum + quint8(b));
            text.replace(csPos, 2, QByteArray::number(quint8(-sum) | 0x100, 16).right(2).toUpper());
        }
        start = end + 1;
    }
}

/// Reads every position the programming run would send, as the sequencer does; ASan reports a
/// position outside the buffer.
inline void TouchRun(const CFirmwareImage& image)
{
    volatile quint8 sink = 0;
    const quint8* buf = image.Buffer();
    for (quint32 p = 0; p <= image.m_MaxFileAdr; ++p)
        sink = sink ^ buf[p];
}

/// An accepted application image must carry a check location whose CRC matches what it covers.
inline void CheckStamp(const CFirmwareImage& image)
{
    const quint8* buf = image.Buffer();
    auto word = [buf](quint32 pos) { return LE::u32(buf, int(pos)); };
    const quint32 chkLoc = word(CFirmwareImage::ChkLocPos);
    if (chkLoc <= CFirmwareImage::ChkLocPos || chkLoc % 4 != 0 || chkLoc + 4 != image.m_MaxFileAdr
        || image.m_MaxFileAdr >= CFirmwareImage::BufferSize)
        abort();
    if (image.Crc(buf + CFirmwareImage::AppStart, (chkLoc - CFirmwareImage::AppStart) / 4) != word(chkLoc))
        abort();
}

/// Reads an application file into the process's one image (the update dialog reuses one for every
/// file too) and, when the reader accepts it, holds the image to its promises.
inline void ReadAppAndCheck(const QString& path, const Params& p)
{
    static CFirmwareImage image;
    if (image.ReadAppFile(path, p.productId, p.number) != CFirmwareImage::ReadOk)
        return;
    if (image.BankNumber() != quint32(p.number))
        abort();
    CheckStamp(image);
    TouchRun(image);
}

}  // namespace ImageFuzz
