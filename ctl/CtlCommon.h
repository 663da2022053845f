#pragma once

#include "Commands.h"
#include "DiscoveryCycle.h"
#include "FinderQueue.h"
#include "Plan.h"
#include "RecordFields.h"
#include "SdrInterface.h"

#include <QJsonValue>
#include <QPair>

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <QVector>
#include <functional>

/// Steps that several commands share.
namespace Ctl {

constexpr int ConnectTimeoutMs = 15000;    ///< ms for the programming interface to connect and read the device
constexpr int ReconnectTimeoutMs = 30000;  ///< ms for the reconnection after a run, which reads the new versions

/// A discovery cycle with the command line's listen time and interfaces, owned by the application.
CDiscoveryCycle* finder(const CtlOptions& o);
/// Says why nothing answered `f`, and how quillctl asks further.
void tellNobody(const CDiscoveryCycle& f);
/// Ends the event loop with `code`, or with 1 if that says less and a discovery left receivers out.
void finish(int code);
/// Runs one discovery cycle of `f`, then `then`; a receiver the cycle could not list is said on stderr
/// and makes the command exit at least 1.
void discover(CDiscoveryCycle* f, std::function<void()> then);
/// Runs a discovery cycle and calls `then` with the row of `serial`; ends with a message and exit 1
/// when the receiver is missing or of no known model.
void withReceiver(CDiscoveryCycle* f, const QString& serial, std::function<void(int row)> then);
/// What Ctrl-C does for the command under way; by default it ends the command at once.
extern std::function<void()> onInterrupt;

/// What a receiver's control port told, read without a firmware session.
struct DeviceRead {
    QString problem;  ///< why nothing was read; empty when it was
    QString model, serial;
    quint32 productId = 0;
    SdrVersions versions;
    QVector<QPair<QString, QJsonValue>> items;  ///< everything read, in order, for info
};
/// Connects to the receiver of `record` as the update dialog does, reads its identity, versions and
/// flash geometry and disconnects; `done` with what it read, or a problem after ConnectTimeoutMs.
void readDevice(const quint8* record, std::function<void(const DeviceRead&)> done);

/// The receivers a command works on, chosen from one discovery.
struct Choice {
    QVector<Plan::Unit> units;  ///< in the order found
    QStringList missing;        ///< serials named that did not answer, or are of no known model
};
/// Those named in `serials`; with none named, every receiver of a known model, of `model` only when given.
Choice choose(const CDiscoveryCycle& f, const QStringList& serials, const ReceiverModel* model);
/// Discovers and chooses the receivers; with `read`, reads every one's versions, up to --parallel at
/// once (all at once, up to MaxAtOnce, by default). `then` with the units. Ends the command with exit 1
/// when a named receiver is missing or none was chosen.
void survey(const CtlOptions& o, const QStringList& serials, const ReceiverModel* model, bool read,
            std::function<void(QVector<Plan::Unit>&)> then);
/// Asks "question [y/N]" on the terminal unless --yes was given; `then` on yes. Otherwise ends with
/// exit 2 and nothing sent.
void confirm(const CtlOptions& options, const QString& question, std::function<void()> then);

/// Prints the plan: to stdout, or to stderr when a JSON summary will follow on stdout.
void printPlan(const CtlOptions& o, const QStringList& headers, const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows);
/// Prints the summary of a finished plan, as a table and counts or as JSON, and ends with its exit code.
void report(const CtlOptions& o, const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows,
            const QVector<Plan::Outcome>& outcomes, int inUseCode);
} // namespace Ctl
