#pragma once

#include "SdrInterface.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct ReceiverModel;

/// What apply and update will do, and what they did, as plain data: receivers found and versions
/// read in, rows out. Printing, asking, running and summing up all take these rows.
namespace Plan {

/// One receiver found, and what its control port told.
struct Unit {
    QString serial;
    QByteArray record;  ///< as discovered
    const ReceiverModel* model = nullptr;
    QString problem;    ///< why its versions were not read; empty when they were, or when none were asked
    SdrVersions versions;
    bool read = false;  ///< the versions were read

    const quint8* Rec() const { return reinterpret_cast<const quint8*>(record.constData()); }
    /// Either in-use bit of its record is set: someone listens to it.
    bool InUse() const;
};

/// An item a model should get, with the version it must report afterwards (empty: not checked).
struct Want {
    const ReceiverModel* model;
    int item;
    QString version;
};

enum class Action { Update, UpToDate, InUse, NoImage, NotAnswering };
enum Stage { NoStage = -1, Canary = 0, Rollout = 1 };

/// One row: a receiver's item, or the receiver alone (item -1) when none of its items applies.
struct Row {
    int unit;
    int item = -1;
    QString now, wanted;  ///< the item's version read, and the one wanted
    Action action;
    Stage stage = NoStage;
};

/// What a row's run did. A row that never ran keeps code -1 and "not started".
struct Outcome {
    int code = -1;  ///< Exit code
    QString result = QStringLiteral("not started");
    QString before, after;  ///< the item's version before and after the run, as read
};

/// The rows for `units` in the order found, each receiver's items in the order of `wants`. An item
/// whose wanted version is empty is always updated. With `canary` > 0, the first `canary` receivers
/// to be updated form the canary stage and the others the rollout.
QVector<Row> make(const QVector<Unit>& units, const QVector<Want>& wants, bool includeInUse, int canary);
/// The action in words, as the plan shows it.
QString actionText(const Row& row, const Unit& unit);
/// The stage in words; empty without stages.
QString stageText(Stage stage);
/// The plan as table cells: receiver, model, item, now -> wanted, action, and the stage when there are stages.
QVector<QStringList> cells(const QVector<Unit>& units, const QVector<Row>& rows);
/// The exit code of a dry run: 4 when anything is behind, 1 when a receiver did not answer.
int dryRunCode(const QVector<Row>& rows);

/// How a finished plan went.
struct Summary {
    QVector<QStringList> cells;  ///< receiver, model, item, before -> after, result (, stage)
    QJsonArray json;             ///< one object per row: serial, model, item, before, after, result (, stage)
    int updated = 0, failed = 0, notStarted = 0, upToDate = 0, skipped = 0;
    int code = 0;                ///< the worst Exit code
    QString counts() const;
};
/// The summary of `rows` with the `outcomes` of their runs (one per row); a receiver left alone
/// because it is in use counts as `inUseCode`.
Summary summarize(const QVector<Unit>& units, const QVector<Row>& rows, const QVector<Outcome>& outcomes, int inUseCode);

} // namespace Plan
