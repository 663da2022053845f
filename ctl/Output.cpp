#include "Output.h"

#include "DiscoveryCycle.h"
#include "RecordFields.h"
#include "SdrInterface.h"
#include "UpdateSession.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace Out {

namespace {

QString hex(quint32 v) { return QStringLiteral("0x%1").arg(v, 0, 16); }

Board* s_Board = nullptr;  ///< the bars on the terminal, if any
bool s_Verbose = false;

void write(const QString& s, FILE* to)
{
    Board::aside(true);
    std::fputs(qPrintable(s + QLatin1Char('\n')), to);
    std::fflush(to);
    Board::aside(false);
}

QString barLine(const QPair<QString, int>& run)
{
    constexpr int Width = 40;
    const int percent = qMax(0, run.second);
    const int filled = percent * Width / 100;
    return QStringLiteral("%1 [%2] %3%\n")
        .arg(run.first, QString(filled, QLatin1Char('#')) + QString(Width - filled, QLatin1Char('.')))
        .arg(percent, 3);
}

} // namespace

void installMessageHandler()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& msg) {
        if (type != QtDebugMsg || s_Verbose)
            write(qFormatLogMessage(type, context, msg), stderr);
    });
}

void setVerbose(bool on) { s_Verbose = on; }

void line(const QString& s) { write(s, stdout); }

void note(const QString& s) { write(s, stderr); }

void error(const QString& s) { write(QStringLiteral("quillctl: ") + s, stderr); }

QString cell(const QString& s, int width)
{
    const QLatin1String cut("...");
    QString out;
    int kept = 0;  // out's size when it held width - 3 characters
    for (int i = 0, count = 0; i < s.size(); ++i, ++count) {
        if (width > 0 && count == width - cut.size())
            kept = out.size();
        if (width > 0 && count == width)
            return out.left(kept) + cut;
        const bool pair = s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate();
        const uint c = pair ? QChar::surrogateToUcs4(s[i], s[i + 1]) : s[i].unicode();
        if (!QChar::isPrint(c))
            out += QLatin1Char('?');
        else
            out += pair ? s.mid(i++, 2) : QString(s[i]);
    }
    return out;
}

void table(const QStringList& headers, const QVector<QStringList>& rows, const QVector<int>& widths, To to)
{
    QVector<QStringList> shown;
    for (const QStringList& r : rows) {
        shown.append(QStringList());
        for (int c = 0; c < r.size(); ++c)
            shown.last() << cell(r[c], widths.value(c));
    }
    QVector<int> sizes;
    for (const QString& h : headers)
        sizes << h.size();
    for (const QStringList& r : shown)
        for (int c = 0; c < r.size() && c < sizes.size(); ++c)
            sizes[c] = qMax(sizes[c], r[c].size());
    const auto print = [&](const QStringList& cells) {
        QString s;
        for (int c = 0; c < cells.size(); ++c)
            s += c + 1 < cells.size() ? cells[c].leftJustified(sizes[c] + 2) : cells[c];
        write(s, to == To::Out ? stdout : stderr);
    };
    print(headers);
    for (const QStringList& r : shown)
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
        cells << RecordFields::text(RecordFields::named(name), r);
    return cells;
}

QVector<QPair<QString, QJsonValue>> deviceItems(const CSdrInterface& sdr)
{
    QVector<QPair<QString, QJsonValue>> items{{QStringLiteral("Model"), sdr.m_ModelName},
                                              {QStringLiteral("Serial Number"), sdr.m_SerialNum},
                                              {QStringLiteral("Product ID"), hex(sdr.m_ProductId)}};
    for (const VersionName& v : SdrVersions::Names)
        items.append({QLatin1String(v.name), sdr.m_Versions.Text(v)});
    items.append({QStringLiteral("App Bank Size"), double(sdr.AppBankSize())});
    items.append({QStringLiteral("App Block Size"), double(sdr.AppBlockSize())});
    items.append({QStringLiteral("App Start Offset"), double(sdr.AppStartOffset())});
    items.append({QStringLiteral("Config Flash Size"), double(sdr.CfgFlashSize())});
    items.append({QStringLiteral("Config Block Size"), double(sdr.CfgBlockSize())});
    items.append({QStringLiteral("Config Slot Size"), double(sdr.CfgSlotSize())});
    return items;
}

Board::Board()
    : m_Tty(::isatty(STDERR_FILENO))
{
    s_Board = this;
}

Board::~Board()
{
    s_Board = nullptr;
}

void Board::aside(bool before)
{
    if (!s_Board || !s_Board->m_Tty)
        return;
    if (before)
        s_Board->erase();
    else
        s_Board->draw();
}

void Board::show(const QString& label, int percent)
{
    auto it = std::find_if(m_Runs.begin(), m_Runs.end(), [&](const QPair<QString, int>& r) { return r.first == label; });
    if (it == m_Runs.end())
        it = m_Runs.insert(m_Runs.end(), {label, -1});
    if (it->second == percent)
        return;
    it->second = percent;
    if (!m_Tty)
        return void(std::fputs(qPrintable(QStringLiteral("%1 %2%\n").arg(label).arg(percent)), stderr));
    erase();
    draw();
}

void Board::end(const QString& label)
{
    auto it = std::find_if(m_Runs.begin(), m_Runs.end(), [&](const QPair<QString, int>& r) { return r.first == label; });
    if (it == m_Runs.end())
        return;
    if (m_Tty) {
        // Its last bar stays on the terminal, above the bars still running.
        erase();
        std::fputs(qPrintable(barLine(*it)), stderr);
    }
    m_Runs.erase(it);
    if (m_Tty)
        draw();
}

void Board::erase()
{
    if (m_Drawn > 0)
        std::fprintf(stderr, "\x1b[%dA\r\x1b[J", m_Drawn);
    m_Drawn = 0;
}

void Board::draw()
{
    for (const auto& r : m_Runs)
        std::fputs(qPrintable(barLine(r)), stderr);
    m_Drawn = m_Runs.size();
}

} // namespace Out
