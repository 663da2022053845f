#include "Output.h"

#include "DiscoveryCycle.h"
#include "RecordFields.h"
#include "SdrInterface.h"
#include "UpdateSession.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

namespace Out {

namespace {

QString hex(quint32 v) { return QStringLiteral("0x%1").arg(v, 0, 16); }

} // namespace

void line(const QString& s)
{
    std::fputs(qPrintable(s + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void error(const QString& s)
{
    std::fputs(qPrintable(QStringLiteral("quillctl: ") + s + QLatin1Char('\n')), stderr);
}

void table(const QStringList& headers, const QVector<QStringList>& rows)
{
    QVector<int> widths;
    for (const QString& h : headers)
        widths << h.size();
    for (const QStringList& r : rows)
        for (int c = 0; c < r.size() && c < widths.size(); ++c)
            widths[c] = qMax(widths[c], r[c].size());
    const auto print = [&](const QStringList& cells) {
        QString s;
        for (int c = 0; c < cells.size(); ++c)
            s += c + 1 < cells.size() ? cells[c].leftJustified(widths[c] + 2) : cells[c];
        line(s);
    };
    print(headers);
    for (const QStringList& r : rows)
        print(r);
}

void json(const QJsonValue& v)
{
    const QJsonDocument doc = v.isArray() ? QJsonDocument(v.toArray()) : QJsonDocument(v.toObject());
    std::fputs(doc.toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
}

QJsonObject receiverJson(const CDiscoveryCycle& f, int row, bool showSecrets)
{
    QJsonObject o;
    const quint8* h = f.Header(row);
    if (!Disc::isKnownModel(h)) {
        o.insert(QStringLiteral("Device"), Disc::text(h, Disc::ModelName));
        o.insert(QStringLiteral("Serial Number"), Disc::text(h, Disc::SerialNum));
        o.insert(QStringLiteral("TCP IP Adr"), Disc::addressText(h, Disc::OffIPAdr));
        o.insert(QStringLiteral("TCP Port"), int(Disc::u16(h, Disc::OffTcpPort)));
    } else {
        for (const RecordFields::Field& field : RecordFields::all())
            if (RecordFields::applies(field, f.Record(row)))
                o.insert(QLatin1String(field.name), RecordFields::json(field, f.Record(row), showSecrets));
    }
    if (!f.Interface(row).isEmpty())
        o.insert(QStringLiteral("Interface"), f.Interface(row));
    return o;
}

QStringList receiverHeaders()
{
    return {QStringLiteral("MODEL"),    QStringLiteral("SERIAL"), QStringLiteral("ADDRESS"),
            QStringLiteral("PORT"),     QStringLiteral("IN USE"), QStringLiteral("MAC"),
            QStringLiteral("FIRMWARE"), QStringLiteral("MODE")};
}

QStringList receiverCells(const CDiscoveryCycle& f, int row)
{
    const quint8* h = f.Header(row);
    QStringList cells{Disc::text(h, Disc::ModelName), Disc::text(h, Disc::SerialNum), Disc::addressText(h, Disc::OffIPAdr),
                      QString::number(Disc::u16(h, Disc::OffTcpPort))};
    if (!Disc::isKnownModel(h))
        return cells << QStringLiteral("?") << QStringLiteral("?") << QStringLiteral("?") << QStringLiteral("?");
    const quint8* r = f.Record(row);
    for (const char* name : {"In Use", "MAC", "Firmware Version", "Quill-xx Operation Mode"})
        cells << RecordFields::text(*RecordFields::find(QLatin1String(name)), r);
    return cells;
}

QVector<QPair<QString, QJsonValue>> deviceItems(const CSdrInterface& sdr)
{
    QVector<QPair<QString, QJsonValue>> items{{QStringLiteral("Model"), sdr.m_ModelName},
                                              {QStringLiteral("Serial Number"), sdr.m_SerialNum},
                                              {QStringLiteral("Product ID"), hex(sdr.m_ProductId)}};
    for (const VersionName& v : CUpdateSession::Versions)
        items.append({QLatin1String(v.name), CUpdateSession::VersionText(sdr.m_Versions, v)});
    items.append({QStringLiteral("App Bank Size"), double(sdr.AppBankSize())});
    items.append({QStringLiteral("App Block Size"), double(sdr.AppBlockSize())});
    items.append({QStringLiteral("App Start Offset"), double(sdr.AppStartOffset())});
    items.append({QStringLiteral("Config Flash Size"), double(sdr.CfgFlashSize())});
    items.append({QStringLiteral("Config Block Size"), double(sdr.CfgBlockSize())});
    items.append({QStringLiteral("Config Slot Size"), double(sdr.CfgSlotSize())});
    return items;
}

Progress::Progress(const QString& label)
    : m_Label(label)
    , m_Tty(::isatty(STDERR_FILENO))
{
}

void Progress::show(int percent)
{
    if (percent == m_Last)
        return;
    m_Last = percent;
    if (!m_Tty) {
        std::fputs(qPrintable(QStringLiteral("%1 %2%\n").arg(m_Label).arg(percent)), stderr);
        return;
    }
    constexpr int Width = 40;
    const int filled = percent * Width / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(Width - filled, QLatin1Char('.'));
    std::fputs(qPrintable(QStringLiteral("\r%1 [%2] %3%").arg(m_Label, bar).arg(percent, 3)), stderr);
}

void Progress::end()
{
    if (m_Tty && m_Last >= 0)
        std::fputs("\n", stderr);
    m_Last = -1;
}

} // namespace Out
