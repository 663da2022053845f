// Feeds raw bytes to the control-protocol client's framer and message parser, with no socket:
// whatever a receiver sends must never crash it or make it write past a buffer.
#include "Fixtures.h"
#include "FirmwareImage.h"
#include "SdrInterface.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
QCoreApplication* g_App = nullptr;
CFirmwareImage* g_AppImage = nullptr;
CFirmwareImage* g_CfgImage = nullptr;

// A small valid application image and bitstream, so that programming paths can be reached.
void MakeImages()
{
    static QTemporaryDir dir;
    const QString app = dir.filePath(QStringLiteral("app.bin")), cfg = dir.filePath(QStringLiteral("cfg.bit"));
    g_AppImage = new CFirmwareImage;
    g_CfgImage = new CFirmwareImage;
    if (!Fixtures::writeFile(app, Fixtures::appImage(4096, Fixtures::Qusd, 0))
        || !Fixtures::writeFile(cfg, Fixtures::bitFile(Fixtures::designName(SimModels::Quillrad, 1), 3000))
        || g_AppImage->ReadAppFile(app, Fixtures::Qusd, 0) != 0 || g_CfgImage->ReadCfgFile(cfg, Fixtures::Qusd, 1) != 0)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    g_App = new QCoreApplication(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));  // the log lines would only slow the run
    MakeImages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: which run to start half-way, and how the stream is split into read passes.
    const quint8 mode = data[0];
    const quint8 chunk = quint8(data[1] | 1);
    data += 2;
    size -= 2;
    const bool config = mode & 1;
    CSdrInterface sdr(nullptr, config ? g_CfgImage : g_AppImage);
    int lastPercent = 0;
    QObject::connect(&sdr, &CSdrInterface::PercentComplete, [&](int p) { lastPercent = p; });

    const size_t half = size / 2;
    for (size_t pos = 0; pos < size; pos += chunk) {
        if (pos >= half && pos < half + chunk && (mode & 2))
            config ? sdr.StartConfigProg(1 + (mode >> 2) % 4) : sdr.StartAppProg((mode >> 2) % 2);
        sdr.FrameBytes(data + pos, qint64(qMin<size_t>(chunk, size - pos)));
    }
    if (lastPercent < 0 || lastPercent > 100)
        std::abort();
    return 0;
}
