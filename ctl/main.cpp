// quillctl: QuillFinder's discovery, settings and firmware updates from the command line.
#include "Cli.h"
#include "Exit.h"
#include "Output.h"
#include "SignalWatch.h"
#include "UpdateRecord.h"
#include "Version.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QF_VERSION));
    Out::installMessageHandler();
    UpdateRecord::setProblemLevel(QtWarningMsg);
    const int code = Cli::start(app.arguments());
    if (code >= 0)
        return code;

    // Ctrl-C reaches a command on the event loop: an update's runs under way are never cut. SIGTERM
    // and SIGHUP end the event loop, so that a run under way is recorded as abandoned and its receiver
    // hears the abort; the exit code is the one a shell reports for the signal.
    auto* watch = new CSignalWatch({SIGINT, SIGTERM, SIGHUP}, &app);
    QObject::connect(watch, &CSignalWatch::Raised, &app, [](int number) {
        if (number == SIGINT)
            return Commands::interrupt();
        QCoreApplication::exit(number == SIGHUP ? Exit::Hangup : Exit::Terminated);
    });
    return app.exec();
}
