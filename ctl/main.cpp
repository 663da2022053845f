// quillctl: QuillFinder's discovery, settings and firmware updates from the command line.
#include "Commands.h"
#include "Exit.h"
#include "Output.h"
#include "ProgItem.h"
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

constexpr int MaxParallel = 32;  ///< receivers programmed or read at once, at most

/// The options, each with its help; a command takes those its row names.
enum Option : unsigned {
    Json = 1u << 0, AllInterfaces = 1u << 1, ShowSecrets = 1u << 2, Force = 1u << 3, ConfirmTimeout = 1u << 4,
    Item = 1u << 5, All = 1u << 6, Model = 1u << 7, Yes = 1u << 8, Parallel = 1u << 9, Last = 1u << 10,
    Release = 1u << 11, DryRun = 1u << 12, IncludeInUse = 1u << 13,
};
struct OptionDesc {
    Option option;
    const char* name;
    const char* value;  ///< the value's name, or nullptr for a switch
    const char* help;
};
const OptionDesc Options[] = {
    {Json, "json", nullptr, "Prints JSON (the README describes it)."},
    {AllInterfaces, "all-interfaces", nullptr,
     "Also sends the requests to every interface's directed broadcast address, and names the interface each answer came in on."},
    {ShowSecrets, "show-secrets", nullptr, "Prints passwords as they are; otherwise a set one shows as ********."},
    {Force, "force", nullptr, "Sends an address, subnet mask and gateway that cannot work together."},
    {ConfirmTimeout, "confirm-timeout", "MS", "How long discovery is repeated to confirm a change (default 10000 ms)."},
    {Item, "item", "ITEM", "What to program: app0, app1, cfg1, cfg2, cfg3 or cfg4."},
    {All, "all", nullptr, "Programs every receiver of --model that answers."},
    {Model, "model", "NAME", "Receiver model whose receivers --all programs."},
    {Yes, "yes", nullptr, "Programs without asking."},
    {Parallel, "parallel", "N", "Programs (status: reads) up to N receivers at once, each on its own link (at most 32)."},
    {Last, "last", "N", "Lists only the last N runs."},
    {Release, "release", "FILE", "Compares every receiver with the release in FILE."},
    {DryRun, "dry-run", nullptr, "Shows the plan and sends nothing."},
    {IncludeInUse, "include-in-use", nullptr, "Also programs receivers that report being in use, cutting off whoever listens."},
};

struct Command {
    const char* name;
    const char* syntax;
    const char* brief;  ///< one line of the general help
    const char* description;
    unsigned options;   ///< Option flags besides --verbose and --timeout
    int minArgs, maxArgs;  ///< positional arguments; -1: any number
    const char* argsHint;  ///< what completes a positional argument: "serial", "file" or nothing
    void (*run)(const CtlOptions&);
};

const Command CommandTable[] = {
    {"find", "[--json] [--all-interfaces] [--show-secrets]", "list the receivers that answer",
     "Runs one discovery cycle exactly as QuillFinder's Find does and lists the receivers that answered.",
     Json | AllInterfaces | ShowSecrets, 0, 0, "", Commands::find},
    {"show", "SERIAL [--json] [--show-secrets]", "every setting of one receiver",
     "Shows every setting of one receiver, under the names of QuillFinder's settings dialog.",
     Json | AllInterfaces | ShowSecrets, 1, 1, "serial", Commands::show},
    {"set", "SERIAL FIELD=VALUE... [--force] [--show-secrets]", "change settings and confirm them",
     "Changes settings of one receiver with the settings dialog's conversions and limits, sends them as QuillFinder "
     "does, and runs discovery until the receiver reports the new values. FIELD is a name as \"show\" prints it "
     "(case, spaces and punctuation do not matter: \"TCP Port=50010\", tcpport=50010). An invalid value is refused "
     "before anything is sent; so is an address, subnet mask and gateway that cannot work together, unless --force.",
     Force | ConfirmTimeout | ShowSecrets, 1, -1, "serial", Commands::set},
    {"info", "SERIAL [--json]", "identity, versions and flash geometry",
     "Connects to one receiver's control port as the update dialog does and reads its model, serial number, "
     "product ID, versions and flash geometry.",
     Json | AllInterfaces, 1, 1, "serial", Commands::info},
    {"update", "(SERIAL... | --all --model NAME) --item ITEM FILE [--yes] [--parallel N] [--include-in-use]",
     "program firmware or an FPGA image",
     "Programs ITEM of each receiver from FILE, up to --parallel receivers at once (one after another by default), "
     "each on its own link. The file is read once and checked against every receiver with QuillFinder's readers "
     "before anything is sent. A receiver not in I/Q Mode is switched to it for the run and back afterwards. A "
     "receiver in use is left alone unless --include-in-use. One receiver's failure never stops the others; the exit "
     "code is the worst of them. Ctrl-C lets the runs under way finish and starts no further one.",
     Item | All | Model | Yes | ConfirmTimeout | Parallel | IncludeInUse, 1, -1, "file", Commands::update},
    {"status", "[SERIAL...] [--release FILE] [--json] [--parallel N]", "every receiver's versions",
     "Finds the receivers (or those named) and reads every receiver's versions over its control port, up to "
     "--parallel at once (8 by default). With --release, each item the release names is marked up to date (ok) or "
     "with the version it would get; the exit code is 4 when a receiver is behind.",
     Release | Json | Parallel, 0, -1, "serial", Commands::status},
    {"apply", "RELEASE [SERIAL...] [--dry-run] [--yes] [--parallel N] [--include-in-use]",
     "bring the receivers behind a release to it",
     "Reads the release file and every image it names, reads every receiver's versions, and shows the plan: each "
     "receiver's items with the version now and the release's, and what will be done. Without --dry-run and after "
     "the question (or --yes), it programs the items that are behind, one receiver's items one after another on one "
     "switch to I/Q Mode, up to --parallel receivers at once, and reads each item's version anew after its run: a "
     "receiver that does not then report the release's version has failed, and its later items are not run. "
     "Receivers in use are left alone unless --include-in-use. A summary and the worst exit code end it.",
     DryRun | Yes | Parallel | IncludeInUse | ConfirmTimeout, 1, -1, "file", Commands::apply},
    {"log", "[SERIAL] [--last N] [--json]", "the firmware runs recorded on this host",
     "Lists the firmware runs of QuillFinder and quillctl from the update record ($XDG_STATE_HOME/quillfinder/"
     "updates.jsonl, ~/.local/state/quillfinder/updates.jsonl by default), newest last: time, receiver, item, file and "
     "the start of its SHA-256, the item's version before and after, result, duration and release. A run whose "
     "program was killed shows as interrupted; a damaged line, or one longer than 64 KiB, is skipped with a warning "
     "naming its line number. The table cuts long values to their columns, marked \"...\"; --json prints them whole.",
     Json | Last, 0, 1, "serial", Commands::log},
    {"completion", "", "a bash completion script for quillctl",
     "Prints a bash completion script for quillctl: source it, or install it as "
     "/usr/share/bash-completion/completions/quillctl.",
     0, 0, 0, "", Commands::completion},
};

bool g_Verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (type == QtDebugMsg && !g_Verbose)
        return;
    std::fputs(qPrintable(qFormatLogMessage(type, context, msg) + QLatin1Char('\n')), stderr);
}

QString exitCodes()
{
    QStringList parts;
    for (const Exit::Meaning& m : Exit::Meanings)
        parts << QStringLiteral("%1 %2").arg(m.code).arg(QLatin1String(m.text));
    return QStringLiteral("\nExit codes: ") + parts.join(QStringLiteral("; ")) + QLatin1Char('.');
}

QString generalHelp()
{
    QString s = QStringLiteral("Finds %1 receivers, shows and changes their settings and updates their firmware, "
                               "like QuillFinder, without a window.\n\nCommands:\n").arg(Models::names(QStringLiteral(" and ")));
    for (const Command& c : CommandTable)
        s += QStringLiteral("  %1 %2\n      %3\n").arg(QLatin1String(c.name), QLatin1String(c.syntax), QLatin1String(c.brief));
    return s + QStringLiteral("\n\"quillctl COMMAND --help\" describes a command and its options.") + exitCodes();
}

int badInput(const QString& why)
{
    Out::error(why);
    return Exit::BadInput;
}

} // namespace

void Commands::completion(const CtlOptions&)
{
    // Written from the command table, so it names exactly the commands and options there are.
    QString cases, names;
    for (const Command& c : CommandTable) {
        names += QLatin1String(c.name) + QLatin1Char(' ');
        QString opts = QStringLiteral("--help --verbose --timeout");
        for (const OptionDesc& d : Options)
            if (c.options & d.option)
                opts += QStringLiteral(" --") + QLatin1String(d.name);
        cases += QStringLiteral("        %1) opts=\"%2\"; args=%3 ;;\n").arg(QLatin1String(c.name), opts, QLatin1String(c.argsHint));
    }
    QStringList items, models;
    for (int i = 0; i < ProgItem::Count; ++i)
        items << ProgItem::name(i);
    for (const ReceiverModel& m : Models::All)
        models << QLatin1String(m.name);
    std::fputs(qPrintable(QStringLiteral(
        "# bash completion for quillctl, written by \"quillctl completion\"\n"
        "_quillctl() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} opts args\n"
        "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
        "        COMPREPLY=($(compgen -W \"%1--help --version\" -- \"$cur\")); return\n"
        "    fi\n"
        "    case $prev in\n"
        "        --item) COMPREPLY=($(compgen -W \"%2\" -- \"$cur\")); return ;;\n"
        "        --model) COMPREPLY=($(compgen -W \"%3\" -- \"$cur\")); return ;;\n"
        "        --release) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "        --timeout|--confirm-timeout|--parallel|--last) return ;;\n"
        "    esac\n"
        "    case ${COMP_WORDS[1]} in\n%4"
        "        *) return ;;\n"
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
        "    elif [ \"$args\" = file ]; then\n"
        "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "    fi\n"
        "}\n"
        "complete -o filenames -F _quillctl quillctl\n")
        .arg(names, items.join(QLatin1Char(' ')), models.join(QLatin1Char(' ')), cases)), stdout);
    QCoreApplication::exit(Exit::Ok);
}

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
        QStringList names;
        for (const Command& c : CommandTable)
            names << QLatin1String(c.name);
        p.addPositionalArgument(QStringLiteral("command"), names.join(QStringLiteral(", ")) + QLatin1Char('.'));
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
    p.setApplicationDescription(QLatin1String(cmd->description) + exitCodes());
    p.addPositionalArgument(name, QString(), name + QLatin1Char(' ') + QLatin1String(cmd->syntax));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Writes the debug lines to stderr."));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("How long discovery listens for answers (default %1 ms).").arg(Timing::RequestToCloseMs),
                                     QStringLiteral("MS"), QString::number(Timing::RequestToCloseMs));
    p.addOptions({verbose, timeout});
    for (const OptionDesc& d : Options)
        if (cmd->options & d.option)
            p.addOption(d.value ? QCommandLineOption(QLatin1String(d.name), QLatin1String(d.help), QLatin1String(d.value))
                                : QCommandLineOption(QLatin1String(d.name), QLatin1String(d.help)));
    if (!p.parse(args))
        return badInput(p.errorText());
    if (p.isSet(help))
        return std::fputs(qPrintable(p.helpText()), stdout), Exit::Ok;

    // Asked only about the options this command has, which QCommandLineParser otherwise warns about.
    const QStringList given = p.optionNames();
    const auto isSet = [&given](Option o) {
        for (const OptionDesc& d : Options)
            if (d.option == o)
                return given.contains(QLatin1String(d.name));
        return false;
    };
    const auto value = [&p, &given](Option o) {
        for (const OptionDesc& d : Options)
            if (d.option == o && given.contains(QLatin1String(d.name)))
                return p.value(QLatin1String(d.name));
        return QString();
    };
    g_Verbose = given.contains(QStringLiteral("verbose"));
    CtlOptions o;
    o.args = p.positionalArguments().mid(1);
    bool ok1 = true, ok2 = true;
    o.timeoutMs = p.value(timeout).toInt(&ok1);
    o.confirmMs = isSet(ConfirmTimeout) ? value(ConfirmTimeout).toInt(&ok2) : o.confirmMs;
    if (!ok1 || !ok2 || o.timeoutMs <= 0 || o.confirmMs <= 0)
        return badInput(QStringLiteral("--timeout and --confirm-timeout take a number of milliseconds above 0"));
    bool ok3 = true;
    o.parallel = isSet(Parallel) ? value(Parallel).toInt(&ok3) : 0;
    if (isSet(Parallel) && (!ok3 || o.parallel < 1 || o.parallel > MaxParallel))
        return badInput(QStringLiteral("--parallel takes a number from 1 to %1").arg(MaxParallel));
    o.json = isSet(Json);
    o.allInterfaces = isSet(AllInterfaces);
    o.force = isSet(Force);
    o.yes = isSet(Yes);
    o.all = isSet(All);
    o.showSecrets = isSet(ShowSecrets);
    o.model = value(Model);
    o.item = value(Item);
    o.release = value(Release);
    o.dryRun = isSet(DryRun);
    o.includeInUse = isSet(IncludeInUse);
    bool lastOk = true;
    o.last = isSet(Last) ? value(Last).toInt(&lastOk) : 0;
    if (!lastOk || (isSet(Last) && o.last < 1))
        return badInput(QStringLiteral("--last takes a number of runs above 0"));
    if (o.args.size() < cmd->minArgs || (cmd->maxArgs >= 0 && o.args.size() > cmd->maxArgs))
        return badInput(QStringLiteral("usage: quillctl %1 %2").arg(name, QLatin1String(cmd->syntax)));

    // Ctrl-C reaches a command on the event loop: an update's runs under way are never cut. SIGTERM
    // and SIGHUP end the event loop, so that a run under way is recorded as abandoned and its receiver
    // hears the abort; the exit code is the one a shell reports for the signal.
    auto* watch = new CSignalWatch({SIGINT, SIGTERM, SIGHUP}, &app);
    QObject::connect(watch, &CSignalWatch::Raised, &app, [](int number) {
        if (number == SIGINT)
            return Commands::interrupt();
        QCoreApplication::exit(128 + number);
    });
    QTimer::singleShot(0, &app, [cmd, o] { cmd->run(o); });
    return app.exec();
}
