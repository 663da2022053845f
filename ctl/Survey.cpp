// The steps that fleet commands share: choosing receivers from a discovery, reading their versions,
// and printing a plan and its summary.
#include "CtlCommon.h"

#include "Output.h"
#include "ReceiverModel.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

#include <memory>

namespace Ctl {

Choice choose(const CDiscoveryCycle& f, const QStringList& serials, const ReceiverModel* model)
{
    Choice c;
    const auto unit = [&f](int row) {
        return Plan::Unit{Disc::text(f.Header(row), Disc::SerialNum),
                          QByteArray(reinterpret_cast<const char*>(f.Record(row)), Disc::RecordSize), Models::byHeader(f.Header(row)), {}, {}, false};
    };
    if (serials.isEmpty()) {
        for (int row = 0; row < f.Rows(); ++row) {
            const ReceiverModel* m = Models::byHeader(f.Header(row));
            if (m && (!model || *m == *model))
                c.units.append(unit(row));
        }
        return c;
    }
    for (const QString& s : serials) {
        const int row = f.RowOf(s);
        if (row < 0 || !Models::byHeader(f.Header(row)))
            c.missing << s;
        else if (std::none_of(c.units.cbegin(), c.units.cend(), [&s](const Plan::Unit& u) { return u.serial == s; }))
            c.units.append(unit(row));
    }
    return c;
}

namespace {

/// Reads the versions of every unit, up to `atOnce` at a time, then hands them on.
class Reader : public QObject {
public:
    Reader(QVector<Plan::Unit> units, int atOnce, std::function<void(QVector<Plan::Unit>&)> then)
        : QObject(qApp), m_Units(std::move(units)), m_AtOnce(atOnce), m_Then(std::move(then))
    {
        More();
    }

private:
    void More()
    {
        while (m_Reading < m_AtOnce && m_Next < m_Units.size()) {
            ++m_Reading;
            const int i = m_Next++;
            readDevice(m_Units[i].Rec(), [this, i](const DeviceRead& read) {
                m_Units[i].problem = read.problem;
                m_Units[i].versions = read.versions;
                m_Units[i].read = read.problem.isEmpty();
                --m_Reading;
                More();
            });
        }
        if (m_Reading == 0 && m_Next == m_Units.size() && m_Then)
            std::exchange(m_Then, nullptr)(m_Units);
    }

    QVector<Plan::Unit> m_Units;
    int m_AtOnce;
    std::function<void(QVector<Plan::Unit>&)> m_Then;
    int m_Next = 0;
    int m_Reading = 0;
};

} // namespace

void survey(const CtlOptions& o, const QStringList& serials, const ReceiverModel* model, bool read,
            std::function<void(QVector<Plan::Unit>&)> then)
{
    CDiscoveryCycle* f = finder(o);
    discover(f, [f, o, serials, model, read, then] {
        Choice c = choose(*f, serials, model);
        if (!c.missing.isEmpty() || c.units.isEmpty()) {
            Out::error(!c.missing.isEmpty() ? QStringLiteral("not found: ") + c.missing.join(QStringLiteral(", "))
                       : model             ? QStringLiteral("no %1 receiver answered").arg(QLatin1String(model->name))
                                           : QStringLiteral("no receiver answered"));
            if (f->Rows() == 0)
                tellNobody(*f);
            return finish(Exit::NotFound);
        }
        if (!read)
            return then(c.units);
        new Reader(std::move(c.units), o.parallel > 0 ? o.parallel : MaxAtOnce, then);
    });
}

void confirm(const CtlOptions& options, const QString& question, std::function<void()> then)
{
    if (options.yes)
        return then();
    if (!::isatty(STDIN_FILENO)) {
        Out::error(QStringLiteral("stdin is not a terminal: confirm with --yes; nothing was sent"));
        return finish(Exit::BadInput);
    }
    // On stderr, with the other messages: stdout carries only results.
    std::fputs(qPrintable(question + QStringLiteral(" [y/N] ")), stderr);
    auto* answer = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(answer, &QSocketNotifier::activated, qApp, [answer, then] {
        answer->setEnabled(false);
        answer->deleteLater();
        char buf[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf - 1);
        if (n > 0 && (buf[0] == 'y' || buf[0] == 'Y'))
            return then();
        Out::error(QStringLiteral("not confirmed; nothing was sent"));
        finish(Exit::BadInput);
    });
}

void printPlan(const CtlOptions& o, const QStringList& headers, const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows)
{
    QStringList h = headers;
    if (o.canary > 0)
        h << QStringLiteral("STAGE");
    Out::table(h, Plan::cells(units, rows), {}, o.json ? Out::To::Err : Out::To::Out);
}

void report(const CtlOptions& o, const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows,
            const QVector<Plan::Outcome>& outcomes, int inUseCode)
{
    const Plan::Summary s = Plan::summarize(units, rows, outcomes, inUseCode);
    if (o.json) {
        Out::json(s.json);
        Out::note(s.counts());
    } else {
        QStringList headers{QStringLiteral("RECEIVER"), QStringLiteral("MODEL"), QStringLiteral("ITEM"), QStringLiteral("BEFORE -> AFTER"),
                            QStringLiteral("RESULT")};
        if (o.canary > 0)
            headers << QStringLiteral("STAGE");
        Out::table(headers, s.cells);
        Out::line(s.counts());
    }
    finish(s.code);
}

} // namespace Ctl
