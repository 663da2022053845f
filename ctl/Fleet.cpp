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

constexpr int ReadsAtOnce = 8;  ///< receivers whose versions are read at once, unless --parallel says

/// One receiver found, and what its control port told.
struct Unit {
    QString serial;
    QByteArray record;
    const ReceiverModel* model = nullptr;
    DeviceRead read;
    const quint8* Rec() const { return reinterpret_cast<const quint8*>(record.constData()); }
};

/// Finds the receivers (those named, or every one of a known model) and reads each one's versions,
/// up to `atOnce` at a time; `then` with them in the order found. A named receiver that does not
/// answer discovery ends the command with exit 1.
class Survey : public QObject {
public:
    Survey(const CtlOptions& o, int atOnce, std::function<void(QVector<Unit>&)> then)
        : QObject(qApp), m_AtOnce(atOnce), m_Then(std::move(then))
    {
        CDiscoveryCycle* f = finder(o);
        f->Run([this, f, o] {
            QStringList missing;
            for (int row = 0; row < f->Rows(); ++row) {
                const QString serial = Disc::text(f->Header(row), Disc::SerialNum);
                const ReceiverModel* model = Models::byHeader(f->Header(row));
                if (model && (o.args.isEmpty() || o.args.contains(serial)))
                    m_Units.append({serial, QByteArray(reinterpret_cast<const char*>(f->Record(row)), Disc::RecordSize), model, {}});
            }
            for (const QString& s : o.args)
                if (f->RowOf(s) < 0 || !Models::byHeader(f->Header(f->RowOf(s))))
                    missing << s;
            if (!missing.isEmpty() || m_Units.isEmpty()) {
                Out::error(missing.isEmpty() ? QStringLiteral("no receiver answered") : QStringLiteral("not found: ") + missing.join(QStringLiteral(", ")));
                if (f->Rows() == 0)
                    tellNobody(*f);
                return finish(Exit::NotFound);
            }
            ReadMore();
        });
    }

private:
    void ReadMore()
    {
        while (m_Reading < m_AtOnce && m_Next < m_Units.size()) {
            ++m_Reading;
            const int i = m_Next++;
            readDevice(m_Units[i].Rec(), [this, i](const DeviceRead& read) {
                m_Units[i].read = read;
                --m_Reading;
                ReadMore();
            });
        }
        if (m_Reading == 0 && m_Next == m_Units.size())
            m_Then(m_Units);
    }

    int m_AtOnce;
    std::function<void(QVector<Unit>&)> m_Then;
    QVector<Unit> m_Units;
    int m_Next = 0;
    int m_Reading = 0;
};

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

QString itemVersion(const DeviceRead& read, int item) { return read.versions.Text(SdrVersions::OfItem(item)); }

/// One row of apply's plan: a receiver's item, or the receiver alone when none of its items applies.
struct Step {
    int unit;
    const CRelease::Image* image;  ///< nullptr for a receiver skipped whole
    QString now;
    QString action;
    int target = -1, job = -1;  ///< the batch's target and job, for "update"
};

const QString Update = QStringLiteral("update");
const QString UpToDate = QStringLiteral("up to date");

/// The plan of `release` for `units`, in the order found, each receiver's items in the release's order.
QVector<Step> plan(const CRelease& release, const QVector<Unit>& units, bool includeInUse)
{
    QVector<Step> steps;
    for (int u = 0; u < units.size(); ++u) {
        const Unit& unit = units[u];
        const QVector<const CRelease::Image*> images = release.ImagesFor(*unit.model);
        if (images.isEmpty()) {
            steps.append({u, nullptr, {}, QStringLiteral("skipped: no image for its model")});
            continue;
        }
        if (!unit.read.problem.isEmpty()) {
            steps.append({u, nullptr, {}, QStringLiteral("skipped: not answering (%1)").arg(unit.read.problem)});
            continue;
        }
        for (const CRelease::Image* image : images) {
            const QString now = itemVersion(unit.read, image->item);
            const bool behind = now != image->version;
            steps.append({u, image, now, !behind ? UpToDate : inUse(unit.Rec()) && !includeInUse ? QStringLiteral("skipped: in use") : Update});
        }
    }
    return steps;
}

QStringList planCells(const QVector<Unit>& units, const Step& s)
{
    const Unit& unit = units[s.unit];
    return {unit.serial, QLatin1String(unit.model->name), s.image ? ProgItem::name(s.image->item) : QStringLiteral("-"),
            s.image ? QStringLiteral("%1 -> %2").arg(s.now, s.image->version) : QString(), s.action};
}

} // namespace

void Commands::status(const CtlOptions& o)
{
    std::shared_ptr<CRelease> release;
    if (!o.release.isEmpty() && !(release = loadRelease(o.release)))
        return;
    new Survey(o, o.parallel > 0 ? o.parallel : ReadsAtOnce, [o, release](QVector<Unit>& units) {
        int code = Exit::Ok;
        QVector<QStringList> rows;
        QJsonArray list;
        for (const Unit& u : units) {
            QStringList cells{u.serial, QLatin1String(u.model->name), Disc::addressText(u.Rec(), Disc::OffIPAdr),
                              inUse(u.Rec()) ? QStringLiteral("yes") : QStringLiteral("no")};
            QJsonObject versions, wanted;
            for (int item = 0; item < ProgItem::Count; ++item) {
                const QString now = u.read.problem.isEmpty() ? itemVersion(u.read, item) : QStringLiteral("?");
                QString cell = now;
                if (release && u.read.problem.isEmpty()) {
                    for (const CRelease::Image* image : release->ImagesFor(*u.model)) {
                        if (image->item != item)
                            continue;
                        const bool behind = now != image->version;
                        cell = behind ? QStringLiteral("%1 -> %2").arg(now, image->version) : now + QStringLiteral(" ok");
                        wanted.insert(ProgItem::name(item), image->version);
                        if (behind)
                            code = Exit::worst(code, Exit::Behind);
                    }
                }
                cells << cell;
                if (u.read.problem.isEmpty())
                    versions.insert(ProgItem::name(item), now);
            }
            if (!u.read.problem.isEmpty())
                code = Exit::worst(code, Exit::NotFound);
            cells << u.read.problem;
            rows << cells;
            QJsonObject j{{QStringLiteral("serial"), u.serial}, {QStringLiteral("model"), QLatin1String(u.model->name)},
                          {QStringLiteral("address"), cells[2]}, {QStringLiteral("inUse"), inUse(u.Rec())},
                          {QStringLiteral("versions"), u.read.problem.isEmpty() ? QJsonValue(versions) : QJsonValue()},
                          {QStringLiteral("problem"), u.read.problem.isEmpty() ? QJsonValue() : QJsonValue(u.read.problem)}};
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
            Out::table(headers << QStringLiteral("PROBLEM"), rows);
        }
        finish(code);
    });
}

void Commands::apply(const CtlOptions& o)
{
    const std::shared_ptr<CRelease> release = loadRelease(o.args.value(0));
    if (!release)
        return;
    CtlOptions named = o;
    named.args = o.args.mid(1);
    onInterrupt = [] {
        Out::error(QStringLiteral("interrupted; nothing was programmed"));
        finish(Exit::Interrupted);
    };
    new Survey(named, qMax(o.parallel, ReadsAtOnce), [o, release](QVector<Unit>& units) {
        QVector<Step> steps = plan(*release, units, o.includeInUse);
        QVector<QStringList> rows;
        int code = Exit::Ok;
        bool behind = false, work = false;
        for (const Step& s : steps) {
            rows << planCells(units, s);
            behind = behind || (s.image && s.action != UpToDate);
            work = work || s.action == Update;
            if (!s.image && !units[s.unit].read.problem.isEmpty() && !release->ImagesFor(*units[s.unit].model).isEmpty())
                code = Exit::worst(code, Exit::NotFound);
        }
        const QStringList headers{QStringLiteral("RECEIVER"), QStringLiteral("MODEL"), QStringLiteral("ITEM"),
                                  QStringLiteral("NOW -> ") + release->Name(), QStringLiteral("ACTION")};
        Out::table(headers, rows);
        if (o.dryRun)
            return finish(Exit::worst(code, behind ? Exit::Behind : Exit::Ok));
        if (!work) {
            Out::line(behind ? QStringLiteral("nothing to update") : QStringLiteral("all receivers are up to date with %1").arg(release->Name()));
            return finish(code);
        }
        // Each receiver behind gets its items in the release's order, on one switch to I/Q Mode.
        QVector<Target> targets;
        int last = -1;
        for (Step& s : steps) {
            if (s.action != Update)
                continue;
            const Unit& u = units[s.unit];
            if (s.unit != last)
                targets.append({u.serial, u.record, u.model, {}, {}});
            last = s.unit;
            s.target = targets.size() - 1;
            s.job = targets.last().jobs.size();
            Job job;
            job.item = s.image->item;
            job.image = s.image->image.get();
            job.file = s.image->file;
            job.expected = s.image->version;
            targets.last().jobs.append(job);
        }
        confirm(o, QStringLiteral("Apply %1?").arg(release->Name()), [o, release, steps, units, targets, code]() mutable {
            auto* batch = new Batch(o, new FinderQueue(finder(o), qApp), release->Name(), qApp);
            onInterrupt = [batch] {
                if (!batch->Interrupt()) {
                    Out::error(QStringLiteral("interrupted; nothing was programmed"));
                    return finish(Exit::Interrupted);
                }
                Out::error(QStringLiteral("interrupt: the runs under way go on to their end; no further run starts"));
            };
            batch->Run(targets, [batch, release, steps, units, code] {
                QVector<QStringList> rows;
                int updated = 0, failed = 0, notRun = 0, upToDate = 0, skipped = 0;
                for (const Step& s : steps) {
                    QStringList cells = planCells(units, s);
                    cells.removeAt(1);
                    cells[2] = s.now;
                    if (s.job >= 0) {
                        const Job& j = batch->Targets()[s.target].jobs[s.job];
                        if (j.code >= 0)
                            cells[2] = QStringLiteral("%1 -> %2").arg(j.before.isEmpty() ? s.now : j.before, j.after.isEmpty() ? QStringLiteral("?") : j.after);
                        cells[3] = j.result;
                        (j.code == Exit::Ok ? updated : j.code < 0 ? notRun : failed) += 1;
                    } else {
                        (s.action == UpToDate ? upToDate : skipped) += 1;
                    }
                    rows << cells;
                }
                Out::table({QStringLiteral("RECEIVER"), QStringLiteral("ITEM"), QStringLiteral("BEFORE -> AFTER"), QStringLiteral("RESULT")}, rows);
                Out::line(QStringLiteral("%1 updated, %2 failed, %3 not started, %4 up to date, %5 skipped")
                              .arg(updated).arg(failed).arg(notRun).arg(upToDate).arg(skipped));
                finish(Exit::worst(code, batch->Code()));
            });
        });
    });
}
