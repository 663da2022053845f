#include "Commands.h"

#include "CtlCommon.h"
#include "DiscoveryDatagram.h"
#include "Output.h"
#include "ProgItem.h"
#include "UpdateRecord.h"
#include "UpdateSession.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

using namespace Ctl;

namespace {

constexpr int VersionWidth = 9;  ///< characters of each version in the VERSION column

/// The table's columns: header, and the most characters a cell shows. The record is a file in the
/// user's folder that anything may have written; a cell never takes more than its column.
const struct {
    const char* header;
    int width;
} Columns[] = {{"TIME", 24},  // a time that does not parse shows as written, ISO 8601 with ms
               {"RECEIVER", Disc::SerialNum.width - 1},
               {"ITEM", 8},
               {"FILE", 40},
               {"SHA-256", 12},
               {"VERSION", 2 * VersionWidth + 4},
               {"RESULT", 17},  // "reconnect-pending"
               {"DURATION", 12},
               {"RELEASE", 20}};  // the release an apply brought, if any

/// The item's own version in `versions` (a "versionsBefore" or "versionsAfter" object), or "?".
QString itemVersion(const QJsonObject& start, const QJsonValue& versions)
{
    for (int item = 0; item < ProgItem::Count; ++item)
        if (start.value(QStringLiteral("item")).toString() == ProgItem::name(item))
            return Out::cell(versions.toObject().value(QLatin1String(SdrVersions::OfItem(item).name)).toString(QStringLiteral("?")),
                             VersionWidth);
    return QStringLiteral("?");
}

QString timeCell(const QJsonObject& line)
{
    const QString time = line.value(QStringLiteral("time")).toString();
    const QDateTime at = QDateTime::fromString(time, Qt::ISODateWithMs);
    return at.isValid() ? at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : time;
}

QString serial(const QJsonObject& line)
{
    return line.value(QStringLiteral("receiver")).toObject().value(QStringLiteral("serial")).toString();
}

QStringList cells(const UpdateRecord::Run& run)
{
    const QJsonObject& s = run.start;
    const QJsonObject file = s.value(QStringLiteral("file")).toObject();
    const bool ended = !run.end.isEmpty();
    const double ms = run.end.value(QStringLiteral("durationMs")).toDouble();
    return {timeCell(s),
            serial(s),
            s.value(QStringLiteral("item")).toString(),
            QFileInfo(file.value(QStringLiteral("path")).toString()).fileName(),
            file.value(QStringLiteral("sha256")).toString().left(12),
            itemVersion(s, s.value(QStringLiteral("versionsBefore"))) + QStringLiteral(" -> ")
                + itemVersion(s, run.end.value(QStringLiteral("versionsAfter"))),
            ended ? run.end.value(QStringLiteral("result")).toString() : QLatin1String(RunResultName(RUN_INTERRUPTED)),
            !ended ? QStringLiteral("-") : ms < 1000 ? QStringLiteral("%1 ms").arg(ms, 0, 'f', 0) : QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1),
            s.value(QStringLiteral("release")).toString()};
}

/// A Set's line: the keys it changed where a run has its file; the line is written as the Set is sent.
QStringList cells(const QJsonObject& settings)
{
    return {timeCell(settings), serial(settings), QStringLiteral("settings"),
            settings.value(QStringLiteral("changes")).toObject().keys().join(QStringLiteral(", ")), QString(),
            QStringLiteral("-"), QStringLiteral("sent"), QStringLiteral("-"), QString()};
}

/// One row of the log: a run or a Set, with its place in the file.
struct Entry {
    int line;
    QJsonObject json;
    QStringList cells;
};

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
    QVector<Entry> entries;
    for (const UpdateRecord::Run& run : listing.runs)
        if (o.args.isEmpty() || serial(run.start) == o.args[0])
            entries.append({run.line, run.merged(), cells(run)});
    for (const UpdateRecord::SettingsLine& s : listing.settings)
        if (o.args.isEmpty() || serial(s.json) == o.args[0])
            entries.append({s.line, s.json, cells(s.json)});
    // The file's order is the order things happened in; clocks and hand-edited times may disagree.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.line < b.line; });
    if (o.last > 0 && entries.size() > o.last)
        entries.remove(0, entries.size() - o.last);
    if (o.json) {
        QJsonArray a;
        for (const Entry& e : entries)
            a.append(e.json);
        Out::json(a);
        return finish(Exit::Ok);
    }
    if (entries.isEmpty())
        Out::error(QStringLiteral("no runs or settings changes%1 recorded in %2")
                       .arg(o.args.isEmpty() ? QString() : QStringLiteral(" of ") + o.args[0], path));
    QVector<QStringList> rows;
    for (const Entry& e : entries)
        rows << e.cells;
    QStringList headers;
    QVector<int> widths;
    for (const auto& c : Columns) {
        headers << QLatin1String(c.header);
        widths << c.width;
    }
    Out::table(headers, rows, widths);
    finish(Exit::Ok);
}
