// Feeds arbitrary bytes to an image reader as a file of the kind the build names in QF_FUZZ_KIND:
// "hex" or "bin" for the application readers, "bit" for the FPGA bitstream reader.
// Input: one selector byte, then the file. The selector's remainder by the number of product IDs picks
// the one handed to the reader (every model's, in the table's order, then 0xFFFFFFFF and 0), the
// quotient the number (application 0 to 3; configuration 0 to 5, so 0 and 5 are out of range). For a
// HEX file, bit 7 set keeps the record checksums as they are; clear, they are repaired first, so that
// mutated counts, addresses and types get past the checksum test to the address logic behind it.
#include "ByteOrder.h"
#include "FirmwareImage.h"
#include "ReceiverModel.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

using Img = CFirmwareImage;
const bool Config = std::strcmp(QF_FUZZ_KIND, "bit") == 0;

void FixHexChecksums(QByteArray& text)
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

/// What an accepted image promises: its own number, a run that stays in the buffer (ASan reads every
/// position the sequencer sends), and for an application a check location whose CRC matches what it covers.
void Check(const Img& image, int number)
{
    const quint8* buf = image.Buffer();
    if (image.BankNumber() != quint32(number) || image.m_MaxFileAdr >= Img::BufferSize || (Config && (number < 1 || number > 4)))
        abort();
    volatile quint8 sink = 0;
    for (quint32 p = 0; p <= image.m_MaxFileAdr; ++p)
        sink = sink ^ buf[p];
    if (Config)
        return;
    const quint32 chkLoc = LE::u32(buf, int(Img::ChkLocPos));
    if (chkLoc <= Img::ChkLocPos || chkLoc % 4 != 0 || chkLoc + 4 != image.m_MaxFileAdr
        || image.Crc(buf + Img::AppStart, (chkLoc - Img::AppStart) / 4) != LE::u32(buf, int(chkLoc)))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));  // the log lines would only slow the run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int ids = Models::Count + 2, p = data[0] % ids;
    const quint32 productId = p < Models::Count ? Models::All[size_t(p)].productId : p == Models::Count ? 0xFFFFFFFF : 0;
    const int number = data[0] / ids % (Config ? 6 : 4);
    QByteArray text(reinterpret_cast<const char*>(data + 1), int(size - 1));
    if (std::strcmp(QF_FUZZ_KIND, "hex") == 0 && !(data[0] & 0x80))
        FixHexChecksums(text);
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image." QF_FUZZ_KIND));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        abort();
    file.close();
    // One image for the whole run, as the update dialog reuses one for every file.
    static Img image;
    if ((Config ? image.ReadCfgFile(path, productId, number) : image.ReadAppFile(path, productId, number)) == Img::ReadOk)
        Check(image, number);
    return 0;
}
