// Feeds raw bytes to the control-protocol client's framer and message parser, with no socket:
// whatever a receiver sends must never crash it or make it write past a buffer.
#include "ReceiverModel.h"
#include "DiscoveryDatagram.h"
#include "FirmwareImage.h"
#include "SdrInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <cstring>

namespace {
QCoreApplication* g_App = nullptr;
CFirmwareImage* g_AppImage = nullptr;
CFirmwareImage* g_CfgImage = nullptr;
QTemporaryDir* g_Dir = nullptr;

// A small valid application image and bitstream, so that programming paths can be reached.
void MakeImages()
{
    QByteArray app(4096, '\x5A');
    const quint32 product = Models::All[0].productId;
    std::memcpy(app.data() + (CFirmwareImage::ProductIdPos - CFirmwareImage::AppStart), &product, 4);
    app[int(CFirmwareImage::BankPos - CFirmwareImage::AppStart)] = 0;
    QFile a(g_Dir->filePath(QStringLiteral("app.bin")));
    a.open(QIODevice::WriteOnly);
    a.write(app);
    a.close();

    QByteArray bit(13, '\0');
    const QByteArray name("Quillrad_top_01.ncd");
    bit += 'a';
    bit += char(0);
    bit += char(name.size());
    bit += name;
    bit += QByteArray(3000, '\x33');
    QFile b(g_Dir->filePath(QStringLiteral("cfg.bit")));
    b.open(QIODevice::WriteOnly);
    b.write(bit);
    b.close();

    g_AppImage = new CFirmwareImage;
    g_CfgImage = new CFirmwareImage;
    if (g_AppImage->ReadAppFile(a.fileName(), product, 0) != 0 || g_CfgImage->ReadCfgFile(b.fileName(), product, 1) != 0)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    g_App = new QCoreApplication(*argc, *argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
        if (type == QtFatalMsg)
            std::abort();
    });
    g_Dir = new QTemporaryDir;
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
