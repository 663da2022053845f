// quillctl status and apply: a fleet's versions, and a release brought to the receivers behind it.
#include "Batch.h"

#include "ProgItem.h"
#include "ReceiverModel.h"
#include "Release.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <memory>

using namespace Ctl;

namespace {

/// Loads the release named by `path`; ends the command with exit 2, one line per problem, when it is unfit.
std::shared_ptr<CRelease> loadRelease(const QString& path)
{
    auto release = std::make_shared<CRelease>();
    QStringList problems;
    if (release->Load(path, &problems))
        return release;
    for (const QString& p : problems)
        Out::error(p);
    Out::error(QStringLiteral("the release is refused; nothing was sent"));
    finish(Exit::BadInput);
    return nullptr;
}

/// What the release wants of every model, in the release file's order.
QVector<Plan::Want> wants(const CRelease& release)
{
    QVector<Plan::Want> list;
    for (const ReceiverModel& m : Models::All)
        for (const CRelease::Image* image : release.ImagesFor(m))
            list.append({&m, image->item, image->version});
    return list;
}

} // namespace

void Commands::status(const CtlOptions& o)
{
    std::shared_ptr<CRelease> release;
    if (!o.release.isEmpty() && !(release = loadRelease(o.release)))
        return;
    survey(o, o.args, nullptr, true, [o, release](QVector<Plan::Unit>& units) {
        const QVector<Plan::Row> rows = Plan::make(units, release ? wants(*release) : QVector<Plan::Want>(), true, 0);
        int code = Exit::Ok;
        QVector<QStringList> table;
        QJsonArray list;
        for (int i = 0; i < units.size(); ++i) {
            const Plan::Unit& u = units[i];
            const bool read = u.read;
            QStringList cells{u.serial, QLatin1String(u.model->name), Disc::addressText(u.Rec(), Disc::OffIPAdr),
                              u.InUse() ? QStringLiteral("yes") : QStringLiteral("no")};
            QJsonObject versions, wanted;
            for (int item = 0; item < ProgItem::Count; ++item) {
                const QString now = read ? u.versions.Text(SdrVersions::OfItem(item)) : QStringLiteral("?");
                QString cell = now;
                for (const Plan::Row& r : rows) {
                    if (r.unit != i || r.item != item)
                        continue;
                    const bool behind = r.action != Plan::Action::UpToDate;
                    cell = behind ? QStringLiteral("%1 -> %2").arg(now, r.wanted) : now + QStringLiteral(" ok");
                    wanted.insert(ProgItem::name(item), r.wanted);
                    code = Exit::worst(code, behind ? Exit::Behind : Exit::Ok);
                }
                cells << cell;
                if (read)
                    versions.insert(ProgItem::name(item), now);
            }
            if (!read)
                code = Exit::worst(code, Exit::NotFound);
            table << (cells << u.problem);
            QJsonObject j{{QStringLiteral("serial"), u.serial}, {QStringLiteral("model"), QLatin1String(u.model->name)},
                          {QStringLiteral("address"), cells[2]}, {QStringLiteral("inUse"), u.InUse()},
                          {QStringLiteral("versions"), read ? QJsonValue(versions) : QJsonValue()},
                          {QStringLiteral("problem"), read ? QJsonValue() : QJsonValue(u.problem)}};
            if (release)
                j.insert(QStringLiteral("release"), wanted);
            list.append(j);
        }
        if (o.json) {
            Out::json(list);
        } else {
            QStringList headers{QStringLiteral("SERIAL"), QStringLiteral("MODEL"), QStringLiteral("ADDRESS"), QStringLiteral("IN USE")};
            for (int item = 0; item < ProgItem::Count; ++item)
                headers << ProgItem::name(item).toUpper();
            Out::table(headers << QStringLiteral("PROBLEM"), table);
        }
        finish(code);
    });
}

void Commands::apply(const CtlOptions& o)
{
    const std::shared_ptr<CRelease> release = loadRelease(o.args.value(0));
    if (!release)
        return;
    onInterrupt = [] { interruptBatch(nullptr); };
    survey(o, o.args.mid(1), nullptr, true, [o, release](QVector<Plan::Unit>& units) {
        const QVector<Plan::Row> rows = Plan::make(units, wants(*release), o.includeInUse, o.canary);
        printPlan(o, {QStringLiteral("RECEIVER"), QStringLiteral("MODEL"), QStringLiteral("ITEM"), QStringLiteral("NOW -> ") + release->Name(),
                      QStringLiteral("ACTION")}, units, rows);
        const int dryCode = Plan::dryRunCode(rows);
        if (o.dryRun)
            return finish(dryCode);
        if (std::none_of(rows.cbegin(), rows.cend(), [](const Plan::Row& r) { return r.action == Plan::Action::Update; })) {
            Out::note(dryCode == Exit::Ok ? QStringLiteral("all receivers are up to date with %1").arg(release->Name())
                                          : QStringLiteral("nothing to update"));
            // A JSON reader gets its summary whatever happened.
            if (o.json)
                return report(o, units, rows, outcomes(rows.size(), {}), Exit::Ok);
            return finish(dryCode == Exit::NotFound ? Exit::NotFound : Exit::Ok);
        }
        const QVector<Target> run = targets(units, rows, [release](const Plan::Row& r, const Plan::Unit& u) {
            for (const CRelease::Image* image : release->ImagesFor(*u.model))
                if (image->item == r.item)
                    return std::make_pair(image->image.get(), image->file);
            return std::make_pair(static_cast<CFirmwareImage*>(nullptr), FileFacts());
        });
        confirm(o, QStringLiteral("Apply %1?").arg(release->Name()), [o, release, units, rows, run] {
            auto* batch = new Batch(o, new FinderQueue(finder(o), qApp), release->Name(), qApp);
            onInterrupt = [batch] { interruptBatch(batch); };
            // The release holds the images the runs send: it lives as long as the batch.
            batch->Run(run, [o, batch, release, units, rows] { report(o, units, rows, outcomes(rows.size(), batch->Targets()), Exit::Ok); });
        });
    });
}
