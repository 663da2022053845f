// quillctl: QuillFinder's discovery, settings and firmware updates from the command line.
#include "Commands.h"
#include "Output.h"
#include "ReceiverModel.h"
#include "SignalWatch.h"
#include "Timing.h"
#include "UpdateRecord.h"
#include "Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

const char ExitCodes[] = "\nExit codes: 0 done; 1 receiver not found or not answering; 2 bad input (arguments, "
                         "values or files; nothing was sent); 3 programming or confirmation failed; 130 interrupted (Ctrl-C) before "
                         "anything was programmed; 129 or 143 ended by SIGHUP or SIGTERM during an update (a run under way is recorded as abandoned).";

struct Command {
    const char* name;
    const char* syntax;
    const char* brief;  ///< one line of the general help
    const char* description;
    void (*run)(const CtlOptions&);
};

const Command CommandTable[] = {
    {"find", "[--json] [--all-interfaces] [--show-secrets]", "list the receivers that answer", "Runs one discovery cycle exactly as QuillFinder's Find does and lists the receivers that answered.",
     Commands::find},
    {"show", "SERIAL [--json] [--show-secrets]", "every setting of one receiver", "Shows every setting of one receiver, under the names of QuillFinder's settings dialog.",
     Commands::show},
    {"set", "SERIAL FIELD=VALUE... [--force] [--show-secrets]", "change settings and confirm them",
     "Changes settings of one receiver with the settings dialog's conversions and limits, sends them as QuillFinder "
     "does, and runs discovery until the receiver reports the new values. FIELD is a name as \"show\" prints it "
     "(case, spaces and punctuation do not matter: \"TCP Port=50010\", tcpport=50010). An invalid value is refused "
     "before anything is sent; so is an address, subnet mask and gateway that cannot work together, unless --force.",
     Commands::set},
    {"info", "SERIAL [--json]", "identity, versions and flash geometry",
     "Connects to one receiver's control port as the update dialog does and reads its model, serial number, "
     "product ID, versions and flash geometry.",
     Commands::info},
    {"update", "(SERIAL... | --all --model NAME) --item ITEM FILE [--yes] [--parallel N]", "program firmware or an FPGA image",
     "Programs ITEM of each receiver from FILE, up to --parallel receivers at once (one after another by default), "
     "each on its own link. The file is checked against every receiver with QuillFinder's readers before anything "
     "is sent. A receiver not in I/Q Mode is switched to it for the run and back afterwards. One receiver's failure "
     "never stops the others; the exit code is the worst of them. Ctrl-C lets the runs under way finish and starts "
     "no further one.",
     Commands::update},
    {"log", "[SERIAL] [--last N] [--json]", "the firmware runs recorded on this host",
     "Lists the firmware runs of QuillFinder and quillctl from the update record ($XDG_STATE_HOME/quillfinder/"
     "updates.jsonl, ~/.local/state/quillfinder/updates.jsonl by default), newest last: time, receiver, item, file and "
     "the start of its SHA-256, the item's version before and after, result and duration. A run whose program was "
     "killed shows as interrupted; a damaged line, or one longer than 64 KiB, is skipped with a warning naming its "
     "line number. The table cuts long values to their columns, marked \"...\"; --json prints them whole.",
     Commands::log},
};

bool g_Verbose = false;
constexpr int MaxParallel = 32;  ///< receivers programmed at once, at most

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (type == QtDebugMsg && !g_Verbose)
        return;
    std::fputs(qPrintable(qFormatLogMessage(type, context, msg) + QLatin1Char('\n')), stderr);
}

QString generalHelp()
{
    QString s = QStringLiteral("Finds %1 receivers, shows and changes their settings and updates their firmware, "
                               "like QuillFinder, without a window.\n\nCommands:\n").arg(Models::names(QStringLiteral(" and ")));
    for (const Command& c : CommandTable)
        s += QStringLiteral("  %1 %2\n      %3\n").arg(QLatin1String(c.name), QLatin1String(c.syntax), QLatin1String(c.brief));
    return s + QStringLiteral("\n\"quillctl COMMAND --help\" describes a command and its options.") + QLatin1String(ExitCodes);
}

int badInput(const QString& why)
{
    Out::error(why);
    return Exit::BadInput;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QF_VERSION));
    qInstallMessageHandler(messageHandler);
    UpdateRecord::setProblemLevel(QtWarningMsg);

    const QStringList args = app.arguments();
    const Command* cmd = nullptr;
    for (const Command& c : CommandTable)
        if (args.value(1) == QLatin1String(c.name))
            cmd = &c;

    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    p.addOption(help);
    if (!cmd) {
        const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
        p.addOption(version);
        p.setApplicationDescription(generalHelp());
        p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("find, show, set, info, update or log."));
        if (!p.parse(args))
            return badInput(p.errorText());
        if (p.isSet(version))
            return std::printf("quillctl %s\n", QF_VERSION), Exit::Ok;
        if (p.isSet(help))
            return std::fputs(qPrintable(p.helpText()), stdout), Exit::Ok;
        return badInput(args.size() > 1 ? QStringLiteral("unknown command \"%1\"; see quillctl --help").arg(args[1])
                                        : QStringLiteral("a command is needed; see quillctl --help"));
    }

    const QString name = QLatin1String(cmd->name);
    p.setApplicationDescription(QLatin1String(cmd->description) + QLatin1String(ExitCodes));
    p.addPositionalArgument(name, QString(), name + QLatin1Char(' ') + QLatin1String(cmd->syntax));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Writes the debug lines to stderr."));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("How long discovery listens for answers (default %1 ms).").arg(Timing::RequestToCloseMs),
                                     QStringLiteral("MS"), QString::number(Timing::RequestToCloseMs));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints JSON (the README describes it)."));
    const QCommandLineOption allIf(QStringLiteral("all-interfaces"),
                                   QStringLiteral("Also sends the requests to every interface's directed broadcast "
                                                  "address, and names the interface each answer came in on."));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Sends an address, subnet mask and gateway that cannot work together."));
    const QCommandLineOption confirm(QStringLiteral("confirm-timeout"),
                                     QStringLiteral("How long discovery is repeated to confirm a change (default 10000 ms)."),
                                     QStringLiteral("MS"), QStringLiteral("10000"));
    const QCommandLineOption item(QStringLiteral("item"), QStringLiteral("What to program: app0, app1, cfg1, cfg2, cfg3 or cfg4."),
                                  QStringLiteral("ITEM"));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Programs every receiver of --model that answers."));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Receiver model whose receivers --all programs."), QStringLiteral("NAME"));
    const QCommandLineOption yes(QStringLiteral("yes"), QStringLiteral("Programs without asking."));
    const QCommandLineOption parallel(QStringLiteral("parallel"),
                                      QStringLiteral("Programs up to N receivers at once, each on its own link (default 1, at most %1).").arg(MaxParallel),
                                      QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption last(QStringLiteral("last"), QStringLiteral("Lists only the last N runs."), QStringLiteral("N"));
    const QCommandLineOption secrets(QStringLiteral("show-secrets"),
                                     QStringLiteral("Prints passwords as they are; otherwise a set one shows as ********."));
    p.addOptions({verbose, timeout});
    if (name == QLatin1String("find") || name == QLatin1String("show") || name == QLatin1String("info"))
        p.addOptions({json, allIf});
    if (name == QLatin1String("log"))
        p.addOptions({json, last});
    if (name == QLatin1String("set"))
        p.addOptions({force, confirm});
    if (name == QLatin1String("update"))
        p.addOptions({item, all, model, yes, confirm, parallel});
    if (name == QLatin1String("find") || name == QLatin1String("show") || name == QLatin1String("set"))
        p.addOption(secrets);
    if (!p.parse(args))
        return badInput(p.errorText());
    if (p.isSet(help))
        return std::fputs(qPrintable(p.helpText()), stdout), Exit::Ok;

    // Asked only about the options this command has, which QCommandLineParser otherwise warns about.
    const QStringList given = p.optionNames();
    const auto isSet = [&given](const QCommandLineOption& opt) { return given.contains(opt.names().constFirst()); };
    g_Verbose = isSet(verbose);
    CtlOptions o;
    o.args = p.positionalArguments().mid(1);
    bool ok1 = true, ok2 = true;
    o.timeoutMs = p.value(timeout).toInt(&ok1);
    o.confirmMs = isSet(confirm) ? p.value(confirm).toInt(&ok2) : o.confirmMs;
    if (!ok1 || !ok2 || o.timeoutMs <= 0 || o.confirmMs <= 0)
        return badInput(QStringLiteral("--timeout and --confirm-timeout take a number of milliseconds above 0"));
    bool ok3 = true;
    o.parallel = isSet(parallel) ? p.value(parallel).toInt(&ok3) : 1;
    if (!ok3 || o.parallel < 1 || o.parallel > MaxParallel)
        return badInput(QStringLiteral("--parallel takes a number from 1 to %1").arg(MaxParallel));
    o.json = isSet(json);
    o.allInterfaces = isSet(allIf);
    o.force = isSet(force);
    o.yes = isSet(yes);
    o.all = isSet(all);
    o.showSecrets = isSet(secrets);
    o.model = isSet(model) ? p.value(model) : QString();
    o.item = isSet(item) ? p.value(item) : QString();
    bool lastOk = true;
    o.last = isSet(last) ? p.value(last).toInt(&lastOk) : 0;
    if (!lastOk || (isSet(last) && o.last < 1))
        return badInput(QStringLiteral("--last takes a number of runs above 0"));
    if (name == QLatin1String("log") && o.args.size() > 1)
        return badInput(QStringLiteral("usage: quillctl log [SERIAL] [--last N] [--json]"));
    if ((name == QLatin1String("show") || name == QLatin1String("info")) && o.args.size() != 1)
        return badInput(QStringLiteral("usage: quillctl %1 SERIAL").arg(name));
    if (name == QLatin1String("find") && !o.args.isEmpty())
        return badInput(QStringLiteral("find takes no arguments"));
    if (name == QLatin1String("update")) {
        // Ctrl-C reaches the update on the event loop: the runs under way are never cut. SIGTERM and
        // SIGHUP end the event loop, so that a run under way is recorded as abandoned and its receiver
        // hears the abort; the exit code is the one a shell reports for the signal.
        auto* watch = new CSignalWatch({SIGINT, SIGTERM, SIGHUP}, &app);
        QObject::connect(watch, &CSignalWatch::Raised, &app, [](int number) {
            if (number == SIGINT)
                return Commands::interrupt();
            QCoreApplication::exit(128 + number);
        });
    }
    QTimer::singleShot(0, &app, [cmd, o] { cmd->run(o); });
    return app.exec();
}
