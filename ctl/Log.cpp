#include "Commands.h"

#include "CtlCommon.h"
#include "Output.h"
#include "ProgItem.h"
#include "UpdateRecord.h"
#include "UpdateSession.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>

using namespace Ctl;

namespace {

/// The item's own version in `versions` (a "versionsBefore" or "versionsAfter" object), or "?".
QString itemVersion(const QJsonObject& start, const QJsonValue& versions)
{
    for (int item = 0; item < ProgItem::Count; ++item)
        if (start.value(QStringLiteral("item")).toString() == ProgItem::name(item))
            return versions.toObject().value(QLatin1String(SdrVersions::OfItem(item).name)).toString(QStringLiteral("?"));
    return QStringLiteral("?");
}

QStringList cells(const UpdateRecord::Run& run)
{
    const QJsonObject& s = run.start;
    const QJsonObject file = s.value(QStringLiteral("file")).toObject();
    const QString time = s.value(QStringLiteral("time")).toString();
    const QDateTime at = QDateTime::fromString(time, Qt::ISODateWithMs);
    const bool ended = !run.end.isEmpty();
    const qint64 ms = qint64(run.end.value(QStringLiteral("durationMs")).toDouble());
    return {at.isValid() ? at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : time,
            s.value(QStringLiteral("receiver")).toObject().value(QStringLiteral("serial")).toString(),
            s.value(QStringLiteral("item")).toString(),
            QFileInfo(file.value(QStringLiteral("path")).toString()).fileName(),
            file.value(QStringLiteral("sha256")).toString().left(12),
            itemVersion(s, s.value(QStringLiteral("versionsBefore"))) + QStringLiteral(" -> ")
                + itemVersion(s, run.end.value(QStringLiteral("versionsAfter"))),
            ended ? run.end.value(QStringLiteral("result")).toString() : QStringLiteral("interrupted"),
            !ended ? QStringLiteral("-") : ms < 1000 ? QStringLiteral("%1 ms").arg(ms) : QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1)};
}

} // namespace

void Commands::log(const CtlOptions& o)
{
    const QString path = UpdateRecord::path();
    const UpdateRecord::Listing listing = UpdateRecord::read(path);
    for (const QString& skipped : listing.skipped)
        Out::error(skipped);
    if (!listing.error.isEmpty()) {
        Out::error(listing.error);
        return finish(Exit::BadInput);
    }
    QVector<UpdateRecord::Run> runs;
    for (const UpdateRecord::Run& run : listing.runs)
        if (o.args.isEmpty()
            || run.start.value(QStringLiteral("receiver")).toObject().value(QStringLiteral("serial")).toString() == o.args[0])
            runs.append(run);
    if (o.last > 0 && runs.size() > o.last)
        runs.remove(0, runs.size() - o.last);
    if (o.json) {
        QJsonArray a;
        for (const UpdateRecord::Run& run : runs)
            a.append(run.merged());
        Out::json(a);
        return finish(Exit::Ok);
    }
    if (runs.isEmpty())
        Out::error(QStringLiteral("no runs%1 recorded in %2").arg(o.args.isEmpty() ? QString() : QStringLiteral(" of ") + o.args[0], path));
    QVector<QStringList> rows;
    for (const UpdateRecord::Run& run : runs)
        rows << cells(run);
    Out::table({QStringLiteral("TIME"), QStringLiteral("RECEIVER"), QStringLiteral("ITEM"), QStringLiteral("FILE"),
                QStringLiteral("SHA-256"), QStringLiteral("VERSION"), QStringLiteral("RESULT"), QStringLiteral("DURATION")},
               rows);
    finish(Exit::Ok);
}
