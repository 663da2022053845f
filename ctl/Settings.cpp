// quillctl settings export and settings apply: a fleet's settings as one file, planned, confirmed and
// recorded with the rules of set.
#include "CtlCommon.h"

#include "Output.h"
#include "SettingsFile.h"
#include "UpdateRecord.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>

#include <memory>

using namespace Ctl;

void Commands::settingsExport(const CtlOptions& o)
{
    survey(o, o.args, nullptr, false, [o](QVector<Plan::Unit>& units) {
        QJsonObject receivers;
        for (const Plan::Unit& u : units)
            receivers.insert(u.serial, SettingsFile::exportRecord(u.Rec(), o.showSecrets));
        Out::json(QJsonObject{{QStringLiteral("receivers"), receivers}});
        finish(Exit::Ok);
    });
}

namespace {

/// One receiver in the plan: what it gets, and how its Set went.
struct Step {
    QString serial;
    QByteArray record;   ///< as discovered; empty for a receiver the file names that did not answer
    SettingsFile::Plan plan;
    bool inUse = false;  ///< left alone: someone listens to it
    QVector<const RecordFields::Field*> fields;  ///< changed
    QVector<QStringList> results;  ///< after the confirmation: one row per change

    const quint8* Rec() const { return reinterpret_cast<const quint8*>(record.constData()); }
    bool Sends() const { return !record.isEmpty() && !inUse && !plan.changes.isEmpty(); }
};

/// "now -> wanted", an empty value as "" so that it shows.
QString fromTo(const SettingsFile::Change& c)
{
    const auto shown = [](const QString& v) { return v.isEmpty() ? QStringLiteral("\"\"") : v; };
    return shown(c.now) + QStringLiteral(" -> ") + shown(c.wanted);
}

/// The plan's table: receiver, setting, now -> wanted, and what happens.
QVector<QStringList> planCells(const QVector<Step>& steps)
{
    QVector<QStringList> rows;
    for (const Step& s : steps) {
        if (s.record.isEmpty() || s.plan.changes.isEmpty()) {
            rows << QStringList{s.serial, QStringLiteral("-"), QString(),
                                s.record.isEmpty() ? QStringLiteral("not found") : QStringLiteral("up to date")};
            continue;
        }
        for (const SettingsFile::Change& c : s.plan.changes)
            rows << QStringList{s.serial, QLatin1String(c.field->name), fromTo(c),
                                s.inUse ? QStringLiteral("skipped: in use") : QStringLiteral("change")};
    }
    return rows;
}

/// Sends every receiver's Set at once, confirms them all in shared discovery cycles, and ends with the results.
void send(const CtlOptions& o, CDiscoveryCycle* f, std::shared_ptr<QVector<Step>> steps, int code)
{
    auto* queue = new FinderQueue(f, qApp);
    auto waiting = std::make_shared<int>(0);
    const auto done = [o, steps, code, waiting]() {
        if (--*waiting > 0)
            return;
        QVector<QStringList> rows;
        int worst = code;
        for (const Step& s : *steps) {
            rows += s.results;
            for (const QStringList& r : s.results)
                worst = Exit::worst(worst, r.last() == QLatin1String("adopted") ? Exit::Ok : Exit::Failed);
        }
        Out::table({QStringLiteral("RECEIVER"), QStringLiteral("SETTING"), QStringLiteral("BEFORE -> AFTER"), QStringLiteral("RESULT")}, rows);
        if (worst == Exit::Failed)
            Out::error(QStringLiteral("a receiver did not confirm its settings within %1 ms").arg(o.confirmMs));
        finish(worst);
    };
    for (Step& s : *steps) {
        if (!s.Sends())
            continue;
        ++*waiting;
        const auto* target = reinterpret_cast<const quint8*>(s.plan.target.constData());
        queue->SendSet(target);
        UpdateRecord::appendSettings(s.Rec(), target);
        Step* step = &s;
        queue->Confirm(s.serial, s.plan.target, s.fields, o.confirmMs, [o, step, done](const quint8* seen, bool) {
            const auto* t = reinterpret_cast<const quint8*>(step->plan.target.constData());
            for (const SettingsFile::Change& c : step->plan.changes) {
                const bool took = seen && RecordFields::same(*c.field, seen, t);
                step->results << QStringList{step->serial, QLatin1String(c.field->name), fromTo(c),
                                             took   ? QStringLiteral("adopted")
                                             : seen ? QStringLiteral("NOT adopted (the receiver reports %1)")
                                                          .arg(RecordFields::text(*c.field, seen, o.showSecrets))
                                                    : QStringLiteral("not confirmed (no answer)")};
            }
            done();
        });
    }
}

} // namespace

void Commands::settingsApply(const CtlOptions& o)
{
    QFile file(o.args.value(0));
    SettingsFile::Document doc;
    QStringList problems;
    if (!file.open(QIODevice::ReadOnly))
        problems << QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
    else if (!SettingsFile::parse(file.readAll(), &doc, &problems))
        for (QString& p : problems)
            p.prepend(file.fileName() + QStringLiteral(": "));
    if (!problems.isEmpty()) {
        for (const QString& p : problems)
            Out::error(p);
        Out::error(QStringLiteral("the settings file is refused; nothing was sent"));
        return finish(Exit::BadInput);
    }
    CDiscoveryCycle* f = finder(o);
    discover(f, [o, f, doc] {
        // Those named; otherwise, with defaults, every receiver found and those the file names; without, those the file names.
        QStringList serials = o.args.mid(1);
        if (serials.isEmpty()) {
            for (const Plan::Unit& u : choose(*f, {}, nullptr).units)
                if (!doc.defaults.isEmpty())
                    serials << u.serial;
            for (const QString& s : doc.receivers.keys())
                if (!serials.contains(s))
                    serials << s;
        }
        auto steps = std::make_shared<QVector<Step>>();
        QStringList bad;
        int code = Exit::Ok;
        bool change = false;
        for (const QString& serial : serials) {
            Step s;
            s.serial = serial;
            const Choice c = choose(*f, {serial}, nullptr);
            if (c.units.isEmpty()) {
                code = Exit::NotFound;
                steps->append(s);
                continue;
            }
            s.record = c.units[0].record;
            s.plan = SettingsFile::plan(s.Rec(), doc.defaults, doc.receivers.value(serial), o.showSecrets);
            s.inUse = c.units[0].InUse() && !o.includeInUse;
            for (const QString& p : s.plan.problems)
                bad << QStringLiteral("%1: %2").arg(serial, p);
            if (!s.plan.networkProblem.isEmpty() && !o.force)
                bad << QStringLiteral("%1: %2 (--force sends it anyway)").arg(serial, s.plan.networkProblem);
            for (const SettingsFile::Change& ch : s.plan.changes)
                s.fields << ch.field;
            change = change || s.Sends();
            steps->append(s);
        }
        if (!bad.isEmpty()) {
            for (const QString& b : bad)
                Out::error(b);
            Out::error(QStringLiteral("nothing was sent"));
            return finish(Exit::BadInput);
        }
        Out::table({QStringLiteral("RECEIVER"), QStringLiteral("SETTING"), QStringLiteral("NOW -> WANTED"), QStringLiteral("ACTION")},
                   planCells(*steps));
        if (o.dryRun)
            return finish(Exit::worst(code, change ? Exit::Behind : Exit::Ok));
        if (!change) {
            Out::note(QStringLiteral("nothing to change"));
            return finish(code);
        }
        confirm(o, QStringLiteral("Send these settings?"), [o, f, steps, code] { send(o, f, steps, code); });
    });
}
