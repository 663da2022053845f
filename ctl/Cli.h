#pragma once

#include "Commands.h"

#include <QString>
#include <QStringList>

/// quillctl's command table: every command and option is one row, and the help texts, the syntax
/// lines, the parsing with its range checks, the man page (help2man reads --help) and the bash
/// completion are written from the rows, so that they cannot disagree.
namespace Cli {

/// What an option's value or a positional argument is: how it is checked and completed.
enum class Kind {
    Switch,  ///< an option without a value
    Number,  ///< a whole number within the row's range
    Ms,      ///< milliseconds within the row's range
    File,    ///< a file's path
    Item,    ///< a programming item's name
    Model,   ///< a receiver model's name, in any case
    Serial,  ///< a receiver's serial number
    Text,    ///< anything else
};

struct Option {
    const char* name;
    Kind kind;
    const char* value;  ///< the value's name in help and syntax lines; nullptr for a switch
    int min, max;       ///< a number's range
    const char* commands;  ///< the commands that take it, separated by '|'; "*" for every command
    const char* help;
    bool CtlOptions::*flag;     ///< where a switch goes
    int CtlOptions::*number;    ///< where a number goes
    QString CtlOptions::*text;  ///< where any other value goes
};

/// A positional argument: NAME is one, [NAME] none or one, NAME... one or more, [NAME...] any number.
struct Arg {
    const char* name;
    Kind kind;
    bool optional, many;
};

struct Command {
    const char* name;  ///< one word, or a group and a word ("settings export")
    Arg args[2];       ///< positional arguments in order; an unused one has no name
    const char* brief;        ///< one line of the general help
    const char* description;  ///< the command's own help
    void (*run)(const CtlOptions&);
};

/// An exit code: its number, its name in the code and its meaning.
struct ExitCode {
    int code;
    const char* name;
    const char* text;
};

extern const Option Options[];
extern const int OptionCount;
extern const Command Commands[];
extern const int CommandCount;

/// True when `command` takes `option`.
bool takes(const Command& command, const Option& option);
/// "NAME ARGS [--option VALUE]...": the command's syntax line, its own options only.
QString syntax(const Command& command);
/// Why `value` is no valid value of `option`, or an empty string when it is.
QString refusal(const Option& option, const QString& value);
/// The bash completion script.
QString completion();
/// Parses the arguments and runs the command on the event loop; the exit code when it ends at once
/// (help, version, bad input), or -1 when the command runs.
int start(const QStringList& arguments);

} // namespace Cli
