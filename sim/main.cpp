// quillsim: emulated receivers for people without receivers, and for scripts.
// Run it only inside a private network namespace (scripts/netns-run): it answers broadcasts.
#include "Fixtures.h"
#include "QuillSim.h"
#include "SignalWatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <csignal>
#include <cstdio>

namespace {
// The JSON format, for people who test scripts against the emulator; the keys are those of
// SimReceiver::fromJson, SimRecord's field table and SimControlConfig::fromJson; %1 and %2 are the
// emulator's models.
const char Description[] =
    "Emulates network SDR receivers (%1) described in a JSON file. Run it only inside a\n"
    "private network namespace (scripts/netns-run): it answers discovery broadcasts on UDP port\n"
    "48321 and serves each receiver's control port on its own address.\n"
    "\n"
    "The file: {\"receivers\": [ {...}, ... ]}, one object per receiver; every key is optional. An\n"
    "unknown receiver key is an error, an unknown \"control\" key is only logged. sim/demo.json in\n"
    "the source tree is an example.\n"
    "\n"
    "Record fields (a missing one takes a plausible default):\n"
    "  model                 %2; another model needs a \"productId\" in\n"
    "                        \"control\", unless \"serveTcp\" is false\n"
    "  serial                text, e.g. \"QR100042\"\n"
    "  address               IPv4 text; the control port listens there too (198.18.0.2 to\n"
    "                        198.18.0.253 inside scripts/netns-run)\n"
    "  tcpPort               control port; 0 picks a free one and the record reports it\n"
    "  mac                   \"02:51:52:00:00:42\"\n"
    "  hwVersion, fwVersion, bootVersion   hundredths: 123 is 1.23\n"
    "  netFlags              bit 0 DHCP, bit 1 alternate UDP destination\n"
    "  subnetMask, gateway, altUdpAddress   IPv4 text\n"
    "  altUdpPort            number\n"
    "  status                bits 0 and 1: in use\n"
    "  opMode                0 I/Q, 1 Quill, 2 Aux\n"
    "  description, descriptionUrl, serverUrl, listServerUrl, listServerActionPath,\n"
    "  rxPassword, txPassword, lat, lon   text\n"
    "  timeout               minutes, 0 for no limit\n"
    "  uartMode, audioMonitor, extRef   number\n"
    "  rfPortMin, rfPortMax  Hz\n"
    "  length                the record's Length field and the reply's size (default 862)\n"
    "  msgType               message type of the reply (default 1)\n"
    "\n"
    "Discovery behaviour:\n"
    "  replyDelayMs          ms between a request and the answer\n"
    "  adoptDelayMs          ms between a Set and its adoption; discovery reports the old\n"
    "                        settings until then\n"
    "  misbehave             \"wrongKey\", \"short\" or \"overlong\"\n"
    "  replySize             bytes sent (short: 40, overlong: 1000 by default)\n"
    "  ownModelOnly          true: answers only requests that name its own model\n"
    "  serveTcp              false: no control port\n"
    "\n"
    "\"control\": the control port, an object with\n"
    "  productId             number, or its four characters; default: the model's\n"
    "  versions              {\"0\": 105, \"4\": 123, \"7\": 2}: ids 0-6 in hundredths, 7-32 one byte\n"
    "                        (0 boot, 2 hardware, 4 and 5 applications, 7 to 10 configurations)\n"
    "  appBankSize, appBlockSize, appStartOffset, cfgFlashSize, cfgBlockSize, cfgSlotSize\n"
    "                        flash geometry in bytes (numbers or strings such as \"0x4000\")\n"
    "  statusPeriodMs, statusByte   unsolicited status items\n"
    "  failure               None, DropAfterBlocks, Stall, AbortConfig, AbortApp, UnknownProduct,\n"
    "                        SlowAck, Garbage, DuplicateAck, AckWithoutRun or NeverReady\n"
    "  failAfterBlocks       data blocks of a run before the failure strikes\n"
    "  slowAckMs, eraseMs, garbageBytes   ms, ms, bytes\n"
    "  failOnce              true (default): a failure strikes once\n"
    "\n"
    "After a completed run the item reports the version its image carries, never one made up:\n"
    "an application image's 16-bit little-endian value in hundredths at image position 0x4208\n"
    "(offset 0x208 of a .bin file), so 0xFFFF, 655.35, from an image that leaves it erased; a\n"
    "configuration bitstream's UserID's low byte, from its design-name field as the vendor's\n"
    "tools write it (\"Quillix_top_01.ncd;UserID=0x00000007\"), and 255 without a UserID.\n"
    "\n"
    "A Set datagram naming a receiver's serial number is adopted, except its model, serial number,\n"
    "MAC, versions and status; the control port moves to the adopted address and port, dropping an\n"
    "open link. --state-dir writes the settings afresh after each.";
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillsim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description)
                                         .arg(SimModels::names(QStringLiteral(", ")),
                                              SimModels::names(QStringLiteral(" or "), QStringLiteral("\""))));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("config"), QStringLiteral("JSON file: {\"receivers\": [ ... ]}"));
    QCommandLineOption stateDir(QStringLiteral("state-dir"),
                                QStringLiteral("Write each receiver's current settings to DIR/<serial>.json."),
                                QStringLiteral("DIR"));
    parser.addOption(stateDir);
    QCommandLineOption makeImages(QStringLiteral("make-images"),
                                  QStringLiteral("Write image files the emulated receivers accept, for each model, "
                                                 "to DIR/<model>/, and exit."),
                                  QStringLiteral("DIR"));
    parser.addOption(makeImages);
    QCommandLineOption appBytes(QStringLiteral("app-bytes"),
                                QStringLiteral("Size of each application image written by --make-images (default 65536)."),
                                QStringLiteral("BYTES"), QStringLiteral("65536"));
    parser.addOption(appBytes);
    QCommandLineOption appVersion(QStringLiteral("app-version"),
                                  QStringLiteral("Version the application images of --make-images carry, in hundredths, 0 to "
                                                 "65535 (default: 124 in app0, 123 in app1)."),
                                  QStringLiteral("N"));
    parser.addOption(appVersion);
    QCommandLineOption cfgVersion(QStringLiteral("cfg-version"),
                                  QStringLiteral("Version the configuration bitstreams of --make-images carry in their UserID, "
                                                 "0 to 255 (default: the configuration's number plus one)."),
                                  QStringLiteral("N"));
    parser.addOption(cfgVersion);
    QCommandLineOption makeFuzzSeeds(QStringLiteral("make-fuzz-seeds"),
                                     QStringLiteral("Write the fuzzers' seed inputs to DIR/<kind>/, and exit."),
                                     QStringLiteral("DIR"));
    parser.addOption(makeFuzzSeeds);
    parser.process(app);
    if (parser.isSet(makeFuzzSeeds)) {
        if (!Fixtures::writeFuzzSeeds(parser.value(makeFuzzSeeds))) {
            std::fprintf(stderr, "quillsim: cannot write the seeds to %s\n", qPrintable(parser.value(makeFuzzSeeds)));
            return 1;
        }
        return 0;
    }
    if (parser.isSet(makeImages)) {
        // Unset (-1): the fixtures' defaults, one above what the emulator's receivers report by default.
        const auto version = [&parser](const QCommandLineOption& o, int max) {
            if (!parser.isSet(o))
                return -1;
            bool ok = false;
            const int v = parser.value(o).toInt(&ok);
            return ok && v >= 0 && v <= max ? v : -2;
        };
        const int appV = version(appVersion, 0xFFFF), cfgV = version(cfgVersion, 0xFF);
        if (appV < -1 || cfgV < -1) {
            std::fprintf(stderr, "quillsim: --app-version takes 0 to 65535, --cfg-version 0 to 255\n");
            return 2;
        }
        const int bytes = parser.value(appBytes).toInt();
        if (bytes <= 0x210 || !Fixtures::writeImageSet(parser.value(makeImages), bytes, appV, cfgV)) {
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
    // Scripts and tests end the emulator with a signal; leaving through the event loop runs the
    // process's exit handlers (a coverage build writes its counts there) and closes the sockets in order.
    CSignalWatch endSignals({SIGINT, SIGTERM, SIGHUP}, nullptr);
    QObject::connect(&endSignals, &CSignalWatch::Raised, &app, [] { QCoreApplication::exit(0); });
    return app.exec();
}
