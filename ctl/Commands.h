#pragma once

#include <QString>
#include <QStringList>

/// Receivers programmed or read at once, at most: each is a link of its own.
constexpr int MaxAtOnce = 256;

/// What the command line asked for; each command reads the parts it knows. The command table
/// (Cli.cpp) fills it, each option into its own member.
struct CtlOptions {
    QStringList args;            ///< positional arguments after the command's name
    int timeoutMs = 500;         ///< ms a discovery cycle listens
    int confirmMs = 10000;       ///< ms set, settings apply and a mode switch wait for discovery to show a change
    bool json = false;
    bool allInterfaces = false;
    bool force = false;
    bool yes = false;
    bool all = false;
    int parallel = 0;            ///< receivers programmed, or read, at once; 0 when not given
    int canary = 0;              ///< receivers programmed first, as a stage of their own; 0: none
    int maxFailed = 0;           ///< failed runs after which no receiver starts; 0: no limit
    bool showSecrets = false;    ///< passwords printed as they are, not masked
    QString model;
    QString item;
    int last = 0;                ///< log: only the last N entries; 0 for all
    QString release;             ///< status --release
    bool dryRun = false;         ///< the plan only
    bool includeInUse = false;   ///< receivers in use are changed too
    bool verbose = false;
};

/// The commands. Each starts its work on the running event loop and ends it with
/// QCoreApplication::exit() and one of the Exit codes.
namespace Commands {
/// One discovery cycle, printed as a table or JSON.
void find(const CtlOptions& o);
/// Every setting of one receiver.
void show(const CtlOptions& o);
/// Changes settings with the dialog's conversions and limits, then confirms them by discovery.
void set(const CtlOptions& o);
/// Identity, versions and flash geometry read over the programming interface.
void info(const CtlOptions& o);
/// Programs one item of one or more receivers from a file.
void update(const CtlOptions& o);
/// The firmware runs of the update record, newest last.
void log(const CtlOptions& o);
/// Every receiver's versions, optionally against a release.
void status(const CtlOptions& o);
/// Brings the receivers that are behind a release to it, verified.
void apply(const CtlOptions& o);
/// The settings a Set can change of every receiver (or those named), as a settings file.
void settingsExport(const CtlOptions& o);
/// Brings receivers to the settings a file wants, one Set each, confirmed by discovery.
void settingsApply(const CtlOptions& o);
/// A bash completion script for quillctl.
void completion(const CtlOptions& o);
/// Asks a running batch to start no further run; ends any other command at once.
void interrupt();
} // namespace Commands
