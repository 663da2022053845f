#include "MainWindow.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_SignalPipe[2] = {-1, -1};  ///< written by the signal handler, read on the event loop

void onEndSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here: the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(g_SignalPipe[0], &byte, 1);
}

/// A session that ends with SIGTERM or SIGHUP leaves every event loop in order, the dialogs' too:
/// an update dialog that is mid-run then tells the receiver the run is off, and the settings are written.
void quitOnEndSignals(QApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_SignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_SignalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGTERM, onEndSignal);
    std::signal(SIGHUP, onEndSignal);
}

} // namespace

int main(int argc, char* argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 scales to the screen's pixel density only when asked to, before QApplication exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication a(argc, argv);
    quitOnEndSignals(a);
    MainWindow w;
    w.show();
    return a.exec();
}
