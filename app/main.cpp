#include "MainWindow.h"

#include "SignalWatch.h"

#include <QApplication>

#include <csignal>

int main(int argc, char* argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 scales to the screen's pixel density only when asked to, before QApplication exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication a(argc, argv);
    // A session that ends with SIGTERM or SIGHUP leaves every event loop in order, the dialogs' too:
    // an update dialog that is mid-run then tells the receiver the run is off, and the settings are
    // written. exit(), not quit(): Qt 6's quit() first asks every window to close, and an update
    // dialog mid-run refuses.
    CSignalWatch endSignals({SIGTERM, SIGHUP}, nullptr);
    QObject::connect(&endSignals, &CSignalWatch::Raised, &a, [] { QCoreApplication::exit(0); });
    MainWindow w;
    w.show();
    return a.exec();
}
