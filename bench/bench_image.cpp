// Image file figures: reading the largest Intel HEX file the reader takes, and the CRC over a whole buffer.
#include "FirmwareImage.h"
#include "Fixtures.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr qint64 HexTextSize = 0x600000;  ///< bytes: the reader's limit for Intel HEX text
constexpr int BytesPerRecord = 12;        ///< data bytes per record: 37 characters with CRLF

/// A generated Intel HEX file of just under HexTextSize bytes, written once per process.
struct HexFile {
    HexFile();
    QTemporaryDir dir;
    QString path;
    qint64 textBytes = 0;  ///< bytes of HEX text
    qint64 dataBytes = 0;  ///< bytes of image data
};

HexFile::HexFile()
{
    // 64 KiB of the text are left for the segment records; the image still ends below the buffer's end.
    dataBytes = (HexTextSize - 0x10000) / 37 * BytesPerRecord;
    const QByteArray image = Fixtures::appImage(int(dataBytes), Fixtures::Qusd, 0);
    const QByteArray text = Fixtures::hexFile(image, Fixtures::AppStart, BytesPerRecord, "\r\n");
    path = dir.filePath("large.hex");
    if (text.size() < HexTextSize && Fixtures::writeFile(path, text))
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
        if (image.ReadAppFile(hex.path, Fixtures::Qusd, 0) != CFirmwareImage::ReadOk) {
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
