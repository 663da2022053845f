#include "Cli.h"

#include "Exit.h"
#include "Output.h"
#include "ProgItem.h"
#include "ReceiverModel.h"
#include "Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace Cli {

namespace {
constexpr int MaxCount = 100000;   ///< receivers or runs an option may count, at most
constexpr int MaxWaitMs = 3600000;  ///< ms a wait may be given, at most: an hour
} // namespace

// Options in the order help and syntax lines show them.
const Option Options[] = {
    {"verbose", Kind::Switch, nullptr, 0, 0, "*", "Writes the debug lines to stderr.", &CtlOptions::verbose, nullptr, nullptr},
    {"timeout", Kind::Ms, "MS", 1, MaxWaitMs, "*", "How long discovery listens for answers.", nullptr, &CtlOptions::timeoutMs, nullptr},
    {"json", Kind::Switch, nullptr, 0, 0, "find|show|info|status|log|update|apply",
     "Prints JSON (the README describes it); messages, plans and progress go to stderr.", &CtlOptions::json, nullptr, nullptr},
    {"all-interfaces", Kind::Switch, nullptr, 0, 0, "find|show|set|info|update|status|apply|settings export|settings apply",
     "Also sends the requests to every interface's directed broadcast address, and names the interface each answer came in on.",
     &CtlOptions::allInterfaces, nullptr, nullptr},
    {"show-secrets", Kind::Switch, nullptr, 0, 0, "find|show|set|settings export|settings apply", "Prints passwords as they are; otherwise a set one shows as ********.",
     &CtlOptions::showSecrets, nullptr, nullptr},
    {"force", Kind::Switch, nullptr, 0, 0, "set|settings apply", "Sends an address, subnet mask and gateway that cannot work together.",
     &CtlOptions::force, nullptr, nullptr},
    {"item", Kind::Item, "ITEM", 0, 0, "update", "What to program (needed).", nullptr, nullptr, &CtlOptions::item},
    {"all", Kind::Switch, nullptr, 0, 0, "update", "Programs every receiver of --model that answers, instead of SERIAL...",
     &CtlOptions::all, nullptr, nullptr},
    {"model", Kind::Model, "NAME", 0, 0, "update", "Receiver model whose receivers --all programs.", nullptr, nullptr, &CtlOptions::model},
    {"release", Kind::File, "FILE", 0, 0, "status", "Compares every receiver with the release in FILE.", nullptr, nullptr,
     &CtlOptions::release},
    {"dry-run", Kind::Switch, nullptr, 0, 0, "apply|settings apply", "Shows the plan and sends nothing.", &CtlOptions::dryRun, nullptr, nullptr},
    {"yes", Kind::Switch, nullptr, 0, 0, "update|apply|settings apply", "Goes ahead without asking.", &CtlOptions::yes, nullptr, nullptr},
    {"parallel", Kind::Number, "N", 1, MaxAtOnce, "update|status|apply",
     "Programs up to N receivers at once, each on its own link (one after another by default); status and apply read "
     "every receiver's versions up to N at once (all at once by default).", nullptr, &CtlOptions::parallel, nullptr},
    {"canary", Kind::Number, "N", 1, MaxCount, "update|apply",
     "Programs the first N receivers first; the others start only if every one of them was programmed and verified.",
     nullptr, &CtlOptions::canary, nullptr},
    {"max-failed", Kind::Number, "N", 1, MaxCount, "update|apply",
     "Starts no further receiver once N runs have failed; the runs under way finish.", nullptr, &CtlOptions::maxFailed, nullptr},
    {"include-in-use", Kind::Switch, nullptr, 0, 0, "update|apply|settings apply",
     "Also changes receivers that report being in use, cutting off whoever listens.", &CtlOptions::includeInUse, nullptr, nullptr},
    {"confirm-timeout", Kind::Ms, "MS", 1, MaxWaitMs, "set|update|apply|settings apply",
     "How long discovery is repeated to confirm a change of settings or of operation mode.", nullptr, &CtlOptions::confirmMs, nullptr},
    {"last", Kind::Number, "N", 1, MaxCount, "log", "Lists only the last N entries.", nullptr, &CtlOptions::last, nullptr},
};
const int OptionCount = int(sizeof Options / sizeof *Options);

const Command Commands[] = {
    {"find", {}, "list the receivers that answer",
     "Runs one discovery cycle exactly as QuillFinder's Find does and lists every receiver that answered.", Commands::find},
    {"show", {{"SERIAL", Kind::Serial, false, false}}, "every setting of one receiver",
     "Shows every setting of one receiver, under the names of QuillFinder's settings dialog.", Commands::show},
    {"set", {{"SERIAL", Kind::Serial, false, false}, {"FIELD=VALUE", Kind::Text, false, true}}, "change settings and confirm them",
     "Changes settings of one receiver with the settings dialog's conversions and limits, sends them as QuillFinder "
     "does, and runs discovery until the receiver reports the new values. FIELD is a name as \"show\" prints it "
     "(case, spaces and punctuation do not matter: \"TCP Port=50010\", tcpport=50010). An invalid value is refused "
     "before anything is sent; so is an address, subnet mask and gateway that cannot work together, unless --force.",
     Commands::set},
    {"info", {{"SERIAL", Kind::Serial, false, false}}, "identity, versions and flash geometry",
     "Connects to one receiver's control port as the update dialog does and reads its model, serial number, "
     "product ID, versions and flash geometry.", Commands::info},
    {"update", {{"SERIAL", Kind::Serial, true, true}, {"FILE", Kind::File, false, false}}, "program firmware or an FPGA image",
     "Programs ITEM of each receiver named, or with --all of every receiver of --model, from FILE, up to --parallel "
     "receivers at once, each on its own link. The file is read once and checked against every receiver with "
     "QuillFinder's readers before anything is sent. A receiver not in I/Q Mode is switched to it for the run and back "
     "afterwards. A receiver in use is left alone unless --include-in-use. One receiver's failure never stops the "
     "others, unless --canary or --max-failed say so; the exit code is the worst of them. Ctrl-C lets the runs under way "
     "finish and starts no further one.", Commands::update},
    {"status", {{"SERIAL", Kind::Serial, true, true}}, "every receiver's versions",
     "Finds the receivers (or those named) and reads every receiver's versions over its control port. With --release, "
     "each item the release names is marked up to date (ok) or with the version it would get; the exit code is 4 when "
     "a receiver is behind.", Commands::status},
    {"apply", {{"RELEASE", Kind::File, false, false}, {"SERIAL", Kind::Serial, true, true}}, "bring the receivers behind a release to it",
     "Reads the release file and every image it names, reads every receiver's versions, and shows the plan: each "
     "receiver's items with the version now and the release's, and what will be done. Without --dry-run and after "
     "the question (or --yes), it programs the items that are behind, one receiver's items one after another on one "
     "switch to I/Q Mode, up to --parallel receivers at once, and reads each item's version anew after its run: a "
     "receiver that does not then report the release's version has failed, and its later items are not run. "
     "Receivers in use are left alone unless --include-in-use. A summary and the worst exit code end it.",
     Commands::apply},
    {"settings export", {{"SERIAL", Kind::Serial, true, true}}, "every receiver's settings as a settings file",
     "Prints the settings a Set can change of every receiver that answers (or of those named) as a settings file: "
     "{\"receivers\": {SERIAL: {KEY: VALUE, ...}}}, keys and values as \"show --json\" prints them. A set password "
     "prints as ******** unless --show-secrets.", Commands::settingsExport},
    {"settings apply", {{"FILE", Kind::File, false, false}, {"SERIAL", Kind::Serial, true, true}},
     "bring receivers to the settings in a file",
     "Reads a settings file (an export's form, with an optional \"defaults\": {KEY: VALUE} for every receiver "
     "found or named; a receiver's own entry wins) and shows the plan: each receiver's settings with the value "
     "now and the one wanted. A key that is absent is left alone, and ******** leaves a password as it is. After "
     "the question (or --yes) each receiver with changes gets one Set holding all of them, built from the record "
     "it reported, and discovery confirms them as \"set\" does. A file with an unknown key, a key that is not a "
     "setting or a value \"set\" would refuse is refused whole, nothing sent. Receivers in use are left alone "
     "unless --include-in-use. Each Set is written to the update record.", Commands::settingsApply},
    {"log", {{"SERIAL", Kind::Serial, true, false}}, "the firmware runs and settings changes recorded on this host",
     "Lists the firmware runs of QuillFinder and quillctl from the update record ($XDG_STATE_HOME/quillfinder/"
     "updates.jsonl, ~/.local/state/quillfinder/updates.jsonl by default), newest last: time, receiver, item, file and "
     "the start of its SHA-256, the item's version before and after, result, duration and release. A run whose "
     "program was killed shows as interrupted; a damaged line, or one longer than 64 KiB, is skipped with a warning "
     "naming its line number. The table cuts long values to their columns, marked \"...\"; --json prints them whole.",
     Commands::log},
    {"completion", {}, "a bash completion script for quillctl",
     "Prints a bash completion script for quillctl: source it, or install it as "
     "/usr/share/bash-completion/completions/quillctl.", Commands::completion},
};
const int CommandCount = int(sizeof Commands / sizeof *Commands);

namespace {

QString str(const char* s) { return QString::fromLatin1(s); }

QString argText(const Arg& a)
{
    const QString name = str(a.name) + (a.many ? QStringLiteral("...") : QString());
    return a.optional ? QLatin1Char('[') + name + QLatin1Char(']') : name;
}

QString optionText(const Option& o)
{
    return QStringLiteral("--") + str(o.name) + (o.value ? QLatin1Char(' ') + str(o.value) : QString());
}

/// The values a kind takes, for help texts and the completion; empty for a kind of any value.
QStringList choices(Kind kind)
{
    QStringList list;
    if (kind == Kind::Item)
        for (const char* name : ProgItem::Names)
            list << str(name);
    if (kind == Kind::Model)
        for (const ReceiverModel& m : Models::All)
            list << str(m.name);
    return list;
}

/// The option's help with its values, range or default, as every help text shows it.
QString optionHelp(const Option& o)
{
    QString s = str(o.help);
    const QStringList values = choices(o.kind);
    if (!values.isEmpty())
        s += QStringLiteral(" One of: %1.").arg(values.join(QStringLiteral(", ")));
    if (o.number) {
        s += QStringLiteral(" From %1 to %2").arg(o.min).arg(o.max);
        const int fallback = CtlOptions().*o.number;
        s += fallback > 0 ? QStringLiteral("; default %1.").arg(fallback) : QStringLiteral(".");
    }
    return s;
}

QString exitCodes()
{
    QString s = QStringLiteral("\nExit codes:\n");
    for (const Exit::Meaning& m : Exit::Meanings)
        s += QStringLiteral("  %1  %2: %3\n").arg(m.code, 3).arg(str(m.name), str(m.text));
    return s;
}

QString generalHelp()
{
    QString s = QStringLiteral("Finds %1 receivers, shows and changes their settings and updates their firmware, "
                               "like QuillFinder, without a window.\n\nCommands:\n").arg(Models::names(QStringLiteral(" and ")));
    for (const Command& c : Commands)
        s += QStringLiteral("  %1\n      %2\n").arg(syntax(c), str(c.brief));
    s += QStringLiteral("\nOptions (\"quillctl COMMAND --help\" describes a command and its own):\n");
    for (const Option& o : Options) {
        const QString which = str(o.commands) == QLatin1String("*") ? QStringLiteral("every command")
                                                                     : str(o.commands).replace(QLatin1Char('|'), QStringLiteral(", "));
        s += QStringLiteral("  %1\n      %2 (%3)\n").arg(optionText(o), optionHelp(o), which);
    }
    return s + exitCodes();
}

/// The command the arguments name: its row and how many words its name took, or nullptr.
const Command* commandOf(const QStringList& args, int* words)
{
    for (const Command& c : Commands) {
        const QStringList name = str(c.name).split(QLatin1Char(' '));
        if (args.mid(1, name.size()) == name) {
            *words = name.size();
            return &c;
        }
    }
    return nullptr;
}

int badInput(const QString& why)
{
    Out::error(why);
    return Exit::BadInput;
}

} // namespace

bool takes(const Command& command, const Option& option)
{
    const QString list = str(option.commands);
    return list == QLatin1String("*") || list.split(QLatin1Char('|')).contains(str(command.name));
}

QString syntax(const Command& command)
{
    QStringList parts{str(command.name)};
    for (const Arg& a : command.args)
        if (a.name)
            parts << argText(a);
    for (const Option& o : Options)
        if (str(o.commands) != QLatin1String("*") && takes(command, o))
            parts << QLatin1Char('[') + optionText(o) + QLatin1Char(']');
    return parts.join(QLatin1Char(' '));
}

QString refusal(const Option& o, const QString& value)
{
    bool ok = false;
    const int n = value.toInt(&ok);
    switch (o.kind) {
    case Kind::Number:
    case Kind::Ms:
        if (ok && n >= o.min && n <= o.max)
            return QString();
        return QStringLiteral("--%1 takes a number%4 from %2 to %3")
            .arg(str(o.name)).arg(o.min).arg(o.max).arg(o.kind == Kind::Ms ? QStringLiteral(" of milliseconds") : QString());
    case Kind::Item:
        if (ProgItem::byName(value) >= 0)
            return QString();
        break;
    case Kind::Model:
        if (Models::byName(value))
            return QString();
        break;
    default:
        return value.isEmpty() ? QStringLiteral("--%1 takes a value").arg(str(o.name)) : QString();
    }
    return QStringLiteral("--%1 takes one of %2").arg(str(o.name), choices(o.kind).join(QStringLiteral(", ")));
}

QString completion()
{
    QString firstWords, groups, cases, values;
    for (const Command& c : Commands) {
        const QString name = str(c.name);
        const QString first = name.section(QLatin1Char(' '), 0, 0);
        if (!firstWords.split(QLatin1Char(' ')).contains(first))
            firstWords += first + QLatin1Char(' ');
        if (name.contains(QLatin1Char(' ')))
            groups += QStringLiteral("        %1) words+=\" %2\" ;;\n").arg(first, name.section(QLatin1Char(' '), 1));
        QString opts = QStringLiteral("--help");
        for (const Option& o : Options)
            if (takes(c, o))
                opts += QStringLiteral(" --") + str(o.name);
        bool file = false;
        for (const Arg& a : c.args)
            file = file || (a.name && a.kind == Kind::File);
        cases += QStringLiteral("        \"%1\") opts=\"%2\"; args=%3 ;;\n").arg(name, opts, file ? QStringLiteral("file") : QString());
    }
    for (const Option& o : Options) {
        if (!o.value)
            continue;
        const QStringList list = choices(o.kind);
        values += QStringLiteral("        --%1) %2 ;;\n").arg(str(o.name),
            o.kind == Kind::File ? QStringLiteral("COMPREPLY=($(compgen -f -- \"$cur\")); return")
            : !list.isEmpty()    ? QStringLiteral("COMPREPLY=($(compgen -W \"%1\" -- \"$cur\")); return").arg(list.join(QLatin1Char(' ')))
                                 : QStringLiteral("return"));
    }
    return QStringLiteral(
        "# bash completion for quillctl, written by \"quillctl completion\"\n"
        "_quillctl() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd=${COMP_WORDS[1]} opts args words=\n"
        "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
        "        COMPREPLY=($(compgen -W \"%1--help --version\" -- \"$cur\")); return\n"
        "    fi\n"
        "    case $cmd in\n%2"
        "    esac\n"
        "    if [ -n \"$words\" ]; then\n"
        "        [ \"$COMP_CWORD\" -eq 2 ] && { COMPREPLY=($(compgen -W \"$words\" -- \"$cur\")); return; }\n"
        "        cmd=\"$cmd ${COMP_WORDS[2]}\"\n"
        "    fi\n"
        "    case $prev in\n%3"
        "    esac\n"
        "    case $cmd in\n%4"
        "        *) return ;;\n"
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
        "    elif [ \"$args\" = file ]; then\n"
        "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "    fi\n"
        "}\n"
        "complete -o filenames -F _quillctl quillctl\n").arg(firstWords, groups, values, cases);
}

int start(const QStringList& args)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    p.addOption(help);
    int words = 0;
    const Command* cmd = commandOf(args, &words);
    if (!cmd) {
        const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
        p.addOption(version);
        p.setApplicationDescription(generalHelp());
        p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."), QStringLiteral("COMMAND"));
        if (!p.parse(args))
            return badInput(p.errorText());
        if (p.isSet(version))
            return Out::line(QStringLiteral("quillctl %1").arg(QStringLiteral(QF_VERSION))), Exit::Ok;
        if (p.isSet(help))
            return Out::line(p.helpText().trimmed()), Exit::Ok;
        return badInput(args.size() > 1 ? QStringLiteral("unknown command \"%1\"; see quillctl --help").arg(args[1])
                                        : QStringLiteral("a command is needed; see quillctl --help"));
    }

    p.setApplicationDescription(str(cmd->description) + QLatin1Char('\n') + exitCodes());
    p.addPositionalArgument(str(cmd->name), QString(), syntax(*cmd));
    for (const Option& o : Options)
        if (takes(*cmd, o))
            p.addOption(o.value ? QCommandLineOption(str(o.name), optionHelp(o), str(o.value))
                                : QCommandLineOption(str(o.name), optionHelp(o)));
    if (!p.parse(args))
        return badInput(p.errorText());
    if (p.isSet(help))
        return Out::line(p.helpText().trimmed()), Exit::Ok;

    CtlOptions o;
    for (const Option& opt : Options) {
        if (!takes(*cmd, opt) || !p.isSet(QString(str(opt.name))))
            continue;
        const QString value = p.value(QString(str(opt.name)));
        const QString why = opt.value ? refusal(opt, value) : QString();
        if (!why.isEmpty())
            return badInput(why);
        if (opt.flag)
            o.*opt.flag = true;
        else if (opt.number)
            o.*opt.number = value.toInt();
        else
            o.*opt.text = value;
    }
    o.args = p.positionalArguments().mid(words);
    int least = 0;
    bool many = false;
    for (const Arg& a : cmd->args) {
        least += a.name && !a.optional;
        many = many || a.many;
    }
    int most = 0;
    for (const Arg& a : cmd->args)
        most += a.name ? 1 : 0;
    if (o.args.size() < least || (!many && o.args.size() > most))
        return badInput(QStringLiteral("usage: quillctl %1").arg(syntax(*cmd)));
    Out::setVerbose(o.verbose);
    QTimer::singleShot(0, qApp, [cmd, o] { cmd->run(o); });
    return -1;
}

} // namespace Cli

void Commands::completion(const CtlOptions&)
{
    std::fputs(qPrintable(Cli::completion()), stdout);
    QCoreApplication::exit(Exit::Ok);
}
