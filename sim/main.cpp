// quillsim: emulated Quillrad/Quillix receivers for people without receivers, and for scripts.
// Run it only inside a private network namespace (scripts/netns-run): it answers broadcasts.
#include "Fixtures.h"
#include "QuillSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillsim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Emulates Quillrad and Quillix receivers described in a JSON file."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("config"), QStringLiteral("JSON file: {\"receivers\": [ ... ]}"));
    QCommandLineOption stateDir(QStringLiteral("state-dir"),
                                QStringLiteral("Write each receiver's current settings to DIR/<serial>.json."),
                                QStringLiteral("DIR"));
    parser.addOption(stateDir);
    QCommandLineOption makeImages(QStringLiteral("make-images"),
                                  QStringLiteral("Write image files the emulated receivers accept, for both models, "
                                                 "to DIR/<model>/, and exit."),
                                  QStringLiteral("DIR"));
    parser.addOption(makeImages);
    QCommandLineOption appBytes(QStringLiteral("app-bytes"),
                                QStringLiteral("Size of each application image written by --make-images (default 65536)."),
                                QStringLiteral("BYTES"), QStringLiteral("65536"));
    parser.addOption(appBytes);
    parser.process(app);
    if (parser.isSet(makeImages)) {
        const int bytes = parser.value(appBytes).toInt();
        if (bytes <= 0x210 || !Fixtures::writeImageSet(parser.value(makeImages), bytes)) {
            std::fprintf(stderr, "quillsim: cannot write the images to %s\n", qPrintable(parser.value(makeImages)));
            return 1;
        }
        return 0;
    }
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    QFile f(parser.positionalArguments().first());
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "quillsim: cannot read %s: %s\n", qPrintable(f.fileName()), qPrintable(f.errorString()));
        return 1;
    }
    QuillSim sim;
    QString error;
    if (!sim.loadJson(f.readAll(), &error) || !sim.start(&error)) {
        std::fprintf(stderr, "quillsim: %s\n", qPrintable(error));
        return 1;
    }

    const QString dir = parser.value(stateDir);
    auto writeState = [&sim, dir](int i) {
        if (dir.isEmpty())
            return;
        QDir().mkpath(dir);
        QFile out(dir + QLatin1Char('/') + sim.receiver(i).serial() + QStringLiteral(".json"));
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(QJsonDocument(SimRecord::fields(sim.receiver(i).record)).toJson());
    };
    for (int i = 0; i < sim.count(); ++i) {
        writeState(i);
        std::fprintf(stderr, "quillsim: %s %s at %s, control port %u\n", qPrintable(sim.receiver(i).model()),
                     qPrintable(sim.receiver(i).serial()), qPrintable(sim.receiver(i).address().toString()),
                     sim.receiver(i).tcpPort());
    }
    QObject::connect(&sim, &QuillSim::setAdopted, &sim, writeState);
    return app.exec();
}
