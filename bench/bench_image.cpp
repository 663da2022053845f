// Image file figures: reading the largest Intel HEX file the reader takes, and the CRC over a whole buffer.
#include "ReceiverModel.h"
#include "DiscoveryDatagram.h"
#include "FirmwareImage.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr qint64 HexTextSize = 0x600000;  ///< bytes: the reader's limit for Intel HEX text
// 12 data bytes per CRLF line make 37 characters, so 6 MiB of text carry about 2 MiB of image
// and the image still ends below the buffer's end.
constexpr int BytesPerRecord = 12;        ///< data bytes per record
constexpr quint32 SegmentSize = 0x10000;  ///< bytes a type-4 record's base covers

/// A generated Intel HEX file of just under HexTextSize bytes, written once per process.
struct HexFile {
    HexFile();
    QTemporaryDir dir;
    QString path;
    qint64 textBytes = 0;  ///< bytes of HEX text
    qint64 dataBytes = 0;  ///< bytes of image data
};

void appendRecord(QByteArray& text, quint8 type, quint16 address, const quint8* data, int count)
{
    static const char digits[] = "0123456789ABCDEF";
    auto put = [&](quint8 b) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    };
    quint8 sum = quint8(count + (address >> 8) + address + type);
    text += ':';
    put(quint8(count));
    put(quint8(address >> 8));
    put(quint8(address));
    put(type);
    for (int i = 0; i < count; ++i) {
        put(data[i]);
        sum = quint8(sum + data[i]);
    }
    put(quint8(-sum));
    text += "\r\n";
}

HexFile::HexFile()
{
    std::vector<quint8> image(CFirmwareImage::BufferSize);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = quint8(i * 7 + 3);
    for (int i = 0; i < 4; ++i)
        image[CFirmwareImage::ProductIdPos + i] = quint8(Models::All[0].productId >> (8 * i));
    image[CFirmwareImage::BankPos] = 0;

    QByteArray text;
    text.reserve(int(HexTextSize));
    const int maxRecordText = 1 + 2 * (BytesPerRecord + 5) + 2;
    const quint8 end[1] = {};
    quint32 pos = CFirmwareImage::AppStart;
    quint32 segment = ~0u;
    while (text.size() + 2 * maxRecordText < HexTextSize) {
        const quint32 adr = CFirmwareImage::HexBase + pos;
        if (adr / SegmentSize != segment) {
            segment = adr / SegmentSize;
            const quint8 base[2] = {quint8(segment >> 8), quint8(segment)};
            appendRecord(text, 4, 0, base, 2);
        }
        // Records stop at a segment's end, as Intel HEX addresses do not carry into the base.
        const int n = int(qMin<quint32>(BytesPerRecord, SegmentSize - adr % SegmentSize));
        appendRecord(text, 0, quint16(adr), image.data() + pos, n);
        pos += quint32(n);
        dataBytes += n;
    }
    appendRecord(text, 1, 0, end, 0);
    path = dir.filePath("large.hex");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size())
        textBytes = text.size();
}

const HexFile& hexFile()
{
    static HexFile f;
    return f;
}

/// Drops the readers' log lines while a benchmark runs, and restores the previous handler afterwards.
struct QuietLog {
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    ~QuietLog() { qInstallMessageHandler(previous); }
};

void BM_ReadHexFile6MiB(benchmark::State& state)
{
    const HexFile& hex = hexFile();
    if (hex.textBytes == 0) {
        state.SkipWithError("could not write the HEX file");
        return;
    }
    CFirmwareImage image;
    QuietLog quiet;
    for (auto _ : state) {
        if (image.ReadAppFile(hex.path, Models::All[0].productId, 0) != CFirmwareImage::ReadOk) {
            state.SkipWithError("HEX file refused");
            break;
        }
    }
    state.SetBytesProcessed(qint64(state.iterations()) * hex.textBytes);
    state.counters["text_bytes"] = double(hex.textBytes);
    state.counters["image_bytes"] = double(hex.dataBytes);
}
BENCHMARK(BM_ReadHexFile6MiB)->Unit(benchmark::kMillisecond);

void BM_Crc2MiB(benchmark::State& state)
{
    CFirmwareImage image;
    std::vector<quint8> data(CFirmwareImage::BufferSize);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = quint8(i * 13 + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(image.Crc(data.data(), CFirmwareImage::BufferSize / 4));
    state.SetBytesProcessed(qint64(state.iterations()) * CFirmwareImage::BufferSize);
}
BENCHMARK(BM_Crc2MiB)->Unit(benchmark::kMillisecond);

}  // namespace
