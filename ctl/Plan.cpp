#include "Plan.h"

#include "DiscoveryDatagram.h"
#include "Exit.h"
#include "ProgItem.h"
#include "ReceiverModel.h"

#include <QJsonObject>

namespace Plan {

bool Unit::InUse() const
{
    return Disc::isInUse(Rec());
}

QVector<Row> make(const QVector<Unit>& units, const QVector<Want>& wants, bool includeInUse, int canary)
{
    QVector<Row> rows;
    int updating = 0;  // receivers with an update so far
    for (int u = 0; u < units.size(); ++u) {
        const Unit& unit = units[u];
        QVector<Row> own;
        for (const Want& w : wants) {
            if (*w.model != *unit.model)
                continue;
            const QString now = unit.read ? unit.versions.Text(SdrVersions::OfItem(w.item)) : QString();
            const bool behind = w.version.isEmpty() || now != w.version;
            own.append({u, w.item, now, w.version,
                        !behind ? Action::UpToDate : unit.InUse() && !includeInUse ? Action::InUse : Action::Update});
        }
        if (own.isEmpty() || !unit.problem.isEmpty()) {
            rows.append({u, -1, {}, {}, own.isEmpty() ? Action::NoImage : Action::NotAnswering});
            continue;
        }
        bool update = false;
        for (const Row& r : own)
            update = update || r.action == Action::Update;
        const Stage stage = canary <= 0 ? NoStage : updating < canary ? Canary : Rollout;
        updating += update;
        for (Row& r : own)
            r.stage = update ? stage : NoStage;
        rows += own;
    }
    return rows;
}

QString actionText(const Row& row, const Unit& unit)
{
    switch (row.action) {
    case Action::Update:
        return QStringLiteral("update");
    case Action::UpToDate:
        return QStringLiteral("up to date");
    case Action::InUse:
        return QStringLiteral("skipped: in use");
    case Action::NoImage:
        return QStringLiteral("skipped: no image for its model");
    case Action::NotAnswering:
        break;
    }
    return QStringLiteral("skipped: not answering (%1)").arg(unit.problem);
}

QString stageText(Stage stage)
{
    return stage == Canary ? QStringLiteral("canary") : stage == Rollout ? QStringLiteral("rollout") : QString();
}

namespace {

bool staged(const QVector<Row>& rows)
{
    for (const Row& r : rows)
        if (r.stage != NoStage)
            return true;
    return false;
}

QString itemName(const Row& r) { return r.item < 0 ? QStringLiteral("-") : ProgItem::name(r.item); }

} // namespace

QVector<QStringList> cells(const QVector<Unit>& units, const QVector<Row>& rows)
{
    QVector<QStringList> out;
    for (const Row& r : rows) {
        const Unit& u = units[r.unit];
        out << QStringList{u.serial, QLatin1String(u.model->name), itemName(r),
                           r.item < 0 ? QString() : QStringLiteral("%1 -> %2").arg(r.now.isEmpty() ? QStringLiteral("?") : r.now,
                                                                                 r.wanted.isEmpty() ? QStringLiteral("?") : r.wanted),
                           actionText(r, u)};
        if (staged(rows))
            out.last() << stageText(r.stage);
    }
    return out;
}

int dryRunCode(const QVector<Row>& rows)
{
    int code = Exit::Ok;
    for (const Row& r : rows)
        code = Exit::worst(code, r.action == Action::NotAnswering                       ? Exit::NotFound
                                 : r.action == Action::Update || r.action == Action::InUse ? Exit::Behind
                                                                                           : Exit::Ok);
    return code;
}

QString Summary::counts() const
{
    return QStringLiteral("%1 updated, %2 failed, %3 not started, %4 up to date, %5 skipped")
        .arg(updated).arg(failed).arg(notStarted).arg(upToDate).arg(skipped);
}

Summary summarize(const QVector<Unit>& units, const QVector<Row>& rows, const QVector<Outcome>& outcomes, int inUseCode)
{
    Summary s;
    const bool withStage = staged(rows);
    for (int i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Unit& u = units[r.unit];
        const Outcome& o = outcomes[i];
        QString before = r.now, after, result = actionText(r, u);
        int code = Exit::Ok;
        if (r.action == Action::Update) {
            before = o.before.isEmpty() ? r.now : o.before;
            after = o.after;
            result = o.result;
            code = o.code < 0 ? Exit::Failed : o.code;  // not run: interrupted or held back by a stage
            (o.code == Exit::Ok ? s.updated : o.code < 0 ? s.notStarted : s.failed) += 1;
        } else {
            (r.action == Action::UpToDate ? s.upToDate : s.skipped) += 1;
            code = r.action == Action::NotAnswering ? Exit::NotFound : r.action == Action::InUse ? inUseCode : Exit::Ok;
        }
        s.code = Exit::worst(s.code, code);
        s.cells << QStringList{u.serial, QLatin1String(u.model->name), itemName(r),
                               after.isEmpty() ? before : QStringLiteral("%1 -> %2").arg(before.isEmpty() ? QStringLiteral("?") : before, after),
                               result};
        QJsonObject j{{QStringLiteral("serial"), u.serial}, {QStringLiteral("model"), QLatin1String(u.model->name)},
                      {QStringLiteral("item"), r.item < 0 ? QJsonValue() : QJsonValue(ProgItem::name(r.item))},
                      {QStringLiteral("before"), before.isEmpty() ? QJsonValue() : QJsonValue(before)},
                      {QStringLiteral("after"), after.isEmpty() ? QJsonValue() : QJsonValue(after)},
                      {QStringLiteral("result"), result}};
        if (withStage) {
            s.cells.last() << stageText(r.stage);
            j.insert(QStringLiteral("stage"), r.stage == NoStage ? QJsonValue() : QJsonValue(stageText(r.stage)));
        }
        s.json.append(j);
    }
    return s;
}

} // namespace Plan
