// Programming throughput: a whole application image through CSdrInterface over loopback, against a
// plain blocking stop-and-wait client and server with the same block size and acknowledgement pattern.
// CSdrInterface runs twice: into the Qt emulator (both ends event-driven), and into the baseline's own
// blocking device taught just enough of the control protocol, which isolates the client's cost.
// Then the image benchmarks registered with Google Benchmark.
#include "FirmwareImage.h"
#include "Fixtures.h"
#include "SdrInterface.h"
#include "SimControl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

// Counting allocations of the client's thread while a run is in flight: every malloc-family call
// made on that thread (operator new included, it ends in malloc). Sanitizer builds own malloc,
// so there the figure is not available.
#if !defined(__SANITIZE_ADDRESS__)
#define QF_COUNT_ALLOCS 1
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
namespace {
thread_local bool t_Counting = false;
thread_local unsigned long long t_Allocs = 0;
} // namespace
extern "C" void* malloc(size_t n)
{
    if (t_Counting)
        ++t_Allocs;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m)
{
    if (t_Counting)
        ++t_Allocs;
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n)
{
    if (t_Counting)
        ++t_Allocs;
    return __libc_realloc(p, n);
}
#endif

namespace {

constexpr quint32 ImageFileSize = 0x1FB000;  ///< bytes: the largest .bin that leaves room for the CRC
constexpr quint32 BlockSize = 1024;          ///< data bytes per block, the emulator's default
constexpr quint32 StartOffset = 0x4000;      ///< first position programmed
constexpr SimModel Model = SimModels::Quillrad;  ///< what the baseline's device reports
constexpr int QtRepeats = 5;
constexpr int BaselineRepeats = 7;

struct RunResult {
    double seconds = 0;
    unsigned long long allocs = 0;
    int blocks = 0;
    bool ok = false;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double best(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

// ---- Baseline: blocking POSIX sockets, one thread per side ----

bool readFull(int fd, quint8* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool writeFull(int fd, const quint8* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

void setNoDelay(int fd, bool on)
{
    const int v = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

// A listening socket on a free loopback port; -1 on failure.
int listenLoopback(sockaddr_in* a)
{
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof *a;
    if (ls < 0 || ::bind(ls, reinterpret_cast<sockaddr*>(a), sizeof *a) != 0 || ::listen(ls, 1) != 0
        || ::getsockname(ls, reinterpret_cast<sockaddr*>(a), &alen) != 0) {
        std::perror("listen on loopback");
        if (ls >= 0)
            ::close(ls);
        return -1;
    }
    return ls;
}

RunResult runBaseline(const quint8* image, quint32 first, quint32 end, bool noDelay)
{
    RunResult res;
    sockaddr_in a{};
    const int ls = listenLoopback(&a);
    if (ls < 0)
        return res;
    std::vector<quint8> flash(0x200000, 0xFF);
    std::thread device([&] {
        const int c = ::accept(ls, nullptr, nullptr);
        setNoDelay(c, noDelay);
        quint8 m[8194];
        while (readFull(c, m, 2)) {
            const size_t len = (m[0] | (m[1] << 8)) & 0x1FFF;
            if (len < 6 || !readFull(c, m + 2, len - 2))
                break;
            quint32 adr;
            std::memcpy(&adr, m + 2, 4);
            std::memcpy(flash.data() + (adr & 0x1FFFFF), m + 6, len - 6);
            const quint8 ack[6] = {0x06, 0x60, m[2], m[3], m[4], m[5]};
            if (!writeFull(c, ack, sizeof ack))
                break;
        }
        ::close(c);
    });

    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("baseline connect");
        ::close(s);
        ::close(ls);
        device.join();
        return res;
    }
    setNoDelay(s, noDelay);
    quint8 m[8194];
    quint8 ack[6];
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    for (quint32 pos = first; pos < end && ok; pos += BlockSize) {
        const quint32 n = std::min(BlockSize, end - pos);
        const quint16 header = quint16((4 << 13) | (n + 6));
        std::memcpy(m, &header, 2);
        std::memcpy(m + 2, &pos, 4);
        std::memcpy(m + 6, image + pos, n);
        ok = writeFull(s, m, n + 6) && readFull(s, ack, sizeof ack);
        ++res.blocks;
    }
    const auto t1 = std::chrono::steady_clock::now();
    ::shutdown(s, SHUT_WR);
    device.join();
    ::close(s);
    ::close(ls);
    res.seconds = std::chrono::duration<double>(t1 - t0).count();
    res.ok = ok && std::memcmp(flash.data() + first, image + first, end - first) == 0;
    return res;
}

// ---- The same blocking device, speaking enough of the control protocol for CSdrInterface ----
// Against it, the client's own cost shows without the Qt emulator's share.

void putMsg(quint8* m, int type, int length)
{
    const quint16 h = quint16((type << 13) | length);
    std::memcpy(m, &h, 2);
}

void serveBlockingDevice(int ls, std::vector<quint8>* flash, int* blocks)
{
    const int c = ::accept(ls, nullptr, nullptr);
    setNoDelay(c, true);
    quint8 m[8194];
    quint8 a[32];
    while (readFull(c, m, 2)) {
        const int len = (m[0] | (m[1] << 8)) & 0x1FFF;
        const int type = m[1] >> 5;
        if (len < 4 || !readFull(c, m + 2, size_t(len - 2)))
            break;
        quint16 item;
        std::memcpy(&item, m + 2, 2);
        int n = 0;
        if (type == 4) {  // data block: write it and acknowledge
            quint32 adr;
            std::memcpy(&adr, m + 2, 4);
            std::memcpy(flash->data() + (adr & 0x1FFFFF), m + 6, size_t(len - 6));
            ++*blocks;
            putMsg(a, 3, 6);
            std::memcpy(a + 2, m + 2, 4);
            n = 6;
        } else if (type == 1) {  // information request
            std::memcpy(a + 2, &item, 2);
            const quint32 geometry[2][3] = {{0x200000, BlockSize, StartOffset}, {0x200000, BlockSize, 0x80000}};
            switch (item) {
            case 0x0001: n = 5 + int(std::strlen(Model.name)); std::memcpy(a + 4, Model.name, size_t(n - 4)); break;
            case 0x0002: std::memcpy(a + 4, "BENCH1", 7); n = 11; break;
            case 0x0009: std::memcpy(a + 4, &Model.productId, 4); n = 8; break;
            case 0x0302: a[4] = m[4]; std::memcpy(a + 5, geometry[m[4] ? 1 : 0], 12); n = 17; break;
            case 0x0004: a[4] = m[4]; a[5] = 100; a[6] = 0; n = 7; break;
            default: a[4] = 0; n = 5; break;
            }
            putMsg(a, 0, n);
        } else if (type == 0 && item == 0x0300) {  // programming control: code 0 erases, 1 and 2 echo
            putMsg(a, 0, 6);
            std::memcpy(a + 2, &item, 2);
            a[4] = m[4];
            a[5] = m[5] == 0 ? 4 : m[5];
            n = 6;
        }
        if (n && !writeFull(c, a, size_t(n)))
            break;
    }
    ::close(c);
}

// ---- CSdrInterface into the emulator, the emulator on its own thread ----

RunResult runInterfaceWith(CFirmwareImage& image, quint16 port)
{
    RunResult res;
    CSdrInterface sdr(nullptr, &image);
    sdr.m_IPAdr = QHostAddress::LocalHost;
    sdr.m_Port = port;
    QEventLoop loop;
    QElapsedTimer clock;
    bool started = false;
    QObject::connect(&sdr, &CSdrInterface::NewSdrStatus, &loop, [&](eSdrStatus status) {
        if (status == SDR_CONNECTED_IDLE && !started) {
            started = true;
#ifdef QF_COUNT_ALLOCS
            t_Allocs = 0;
            t_Counting = true;
#endif
            clock.start();
            sdr.StartAppProg(0);
        } else if (status == SDR_PROG_DONE && started && clock.isValid()) {
            res.seconds = double(clock.nsecsElapsed()) / 1e9;
#ifdef QF_COUNT_ALLOCS
            t_Counting = false;
            res.allocs = t_Allocs;
#endif
            res.ok = true;
            loop.quit();
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
#ifdef QF_COUNT_ALLOCS
    t_Counting = false;
#endif
    return res;
}

RunResult runInterface(CFirmwareImage& image)
{
    QThread deviceThread;
    SimControlConfig cfg;
    cfg.appBlockSize = BlockSize;
    cfg.appStartOffset = StartOffset;
    auto* sim = new SimControl(cfg);
    sim->moveToThread(&deviceThread);
    QObject::connect(&deviceThread, &QThread::finished, sim, &QObject::deleteLater);
    deviceThread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        sim, [&] { port = sim->listen(QHostAddress::LocalHost, 0) ? sim->serverPort() : 0; },
        Qt::BlockingQueuedConnection);

    RunResult res = runInterfaceWith(image, port);
    QByteArray bank;
    QMetaObject::invokeMethod(
        sim, [&] {
            bank = sim->appFlash(0);
            res.blocks = sim->blocksWritten();
        },
        Qt::BlockingQueuedConnection);
    deviceThread.quit();
    deviceThread.wait();
    const int n = int(image.m_MaxFileAdr + 1 - StartOffset);
    res.ok = res.ok
        && bank.mid(int(StartOffset), n) == QByteArray(reinterpret_cast<const char*>(image.Buffer()) + StartOffset, n);
    return res;
}

RunResult runInterfaceBlocking(CFirmwareImage& image)
{
    sockaddr_in a{};
    const int ls = listenLoopback(&a);
    if (ls < 0)
        return RunResult();
    std::vector<quint8> flash(0x200000, 0xFF);
    int blocks = 0;
    std::thread device(serveBlockingDevice, ls, &flash, &blocks);
    RunResult res = runInterfaceWith(image, ntohs(a.sin_port));
    // The interface is gone: its socket closed and the device thread ends.
    device.join();
    ::close(ls);
    const quint32 end = image.m_MaxFileAdr + 1;
    res.blocks = blocks;
    res.ok = res.ok && std::memcmp(flash.data() + StartOffset, image.Buffer() + StartOffset, end - StartOffset) == 0;
    return res;
}

void dropMessages(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

bool writeImage(const QString& path)
{
    return Fixtures::writeFile(path, Fixtures::appImage(int(ImageFileSize), Model.productId, 0));
}

int runProgrammingComparison()
{
    qInstallMessageHandler(dropMessages);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("app0.bin"));
    CFirmwareImage image;
    if (!writeImage(path) || image.ReadAppFile(path, Model.productId, 0) != 0) {
        std::fprintf(stderr, "cannot prepare the application image\n");
        return 1;
    }
    const quint32 end = image.m_MaxFileAdr + 1;
    const quint32 bytes = end - StartOffset;
    const int blocks = int((bytes + BlockSize - 1) / BlockSize);
    std::printf("Programming an application image: %u bytes (0x%X) in %d blocks of %u, loopback\n", bytes, bytes,
                blocks, BlockSize);

    auto reportQt = [&](const char* label, const std::vector<RunResult>& runs) {
        std::vector<double> t;
        bool ok = true;
        unsigned long long allocs = 0;
        for (const RunResult& r : runs) {
            t.push_back(r.seconds);
            ok = ok && r.ok && r.blocks == blocks;
            allocs = std::max(allocs, r.allocs);
        }
        const double s = median(t);
        std::printf("  %-44s %8.1f ms  %7.2f MiB/s  %6.1f us/block  best %6.1f ms", label, s * 1e3,
                    bytes / s / 1048576.0, s * 1e6 / blocks, best(t) * 1e3);
#ifdef QF_COUNT_ALLOCS
        std::printf("  allocs/block %.3f", double(allocs) / blocks);
#endif
        std::printf("%s\n", ok ? "" : "  (FLASH MISMATCH)");
        return std::make_pair(s, best(t));
    };

    std::vector<RunResult> base, baseNagle, quiet, logged, direct;
    for (int i = 0; i < BaselineRepeats; ++i) {
        base.push_back(runBaseline(image.Buffer(), StartOffset, end, true));
        baseNagle.push_back(runBaseline(image.Buffer(), StartOffset, end, false));
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    for (int i = 0; i < QtRepeats; ++i)
        quiet.push_back(runInterface(image));
    for (int i = 0; i < QtRepeats; ++i)
        direct.push_back(runInterfaceBlocking(image));
    QLoggingCategory::setFilterRules(QString());
    for (int i = 0; i < QtRepeats; ++i)
        logged.push_back(runInterface(image));

    std::vector<double> tb, tn;
    bool baseOk = true;
    for (int i = 0; i < BaselineRepeats; ++i) {
        tb.push_back(base[size_t(i)].seconds);
        tn.push_back(baseNagle[size_t(i)].seconds);
        baseOk = baseOk && base[size_t(i)].ok && baseNagle[size_t(i)].ok;
    }
    const double b = median(tb);
    const double bn = median(tn);
    std::printf("  %-44s %8.1f ms  %7.2f MiB/s  %6.1f us/block  best %6.1f ms%s\n",
                "baseline stop-and-wait, TCP_NODELAY", b * 1e3, bytes / b / 1048576.0, b * 1e6 / blocks,
                best(tb) * 1e3, baseOk ? "" : "  (FLASH MISMATCH)");
    std::printf("  %-44s %8.1f ms  %7.2f MiB/s  %6.1f us/block  best %6.1f ms\n", "baseline stop-and-wait, Nagle on",
                bn * 1e3, bytes / bn / 1048576.0, bn * 1e6 / blocks, best(tn) * 1e3);
    const auto q = reportQt("CSdrInterface -> emulator, debug log off", quiet);
    const auto l = reportQt("CSdrInterface -> emulator, debug log formatted", logged);
    const auto d = reportQt("CSdrInterface -> blocking device, log off", direct);
    std::printf("  ratio CSdrInterface / baseline, medians: %.2f (debug log off), %.2f (debug log formatted)\n",
                q.first / b, l.first / b);
    std::printf("  ratio CSdrInterface / baseline, best runs: %.2f (debug log off), %.2f (debug log formatted)\n",
                q.second / best(tb), l.second / best(tb));
    std::printf("  ratio CSdrInterface -> blocking device / baseline (the client's own cost): %.2f median, %.2f best\n",
                d.first / b, d.second / best(tb));
    std::printf("  %d baseline and %d CSdrInterface runs each\n\n", BaselineRepeats, QtRepeats);
    std::fflush(stdout);
    qInstallMessageHandler(nullptr);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rc = runProgrammingComparison();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return rc;
}
