#include "Commands.h"

#include "CtlCommon.h"
#include "Output.h"
#include "RecordFields.h"
#include "SdrInterface.h"
#include "Timing.h"
#include "UpdateRecord.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTimer>

#include <memory>

namespace Ctl {

CDiscoveryCycle* finder(const CtlOptions& o)
{
    auto* f = new CDiscoveryCycle(qApp);
    f->SetListenMs(o.timeoutMs);
    f->SetAllInterfaces(o.allInterfaces);
    return f;
}

namespace {
int s_Floor = Exit::Ok;  ///< the least exit code: set when a discovery left receivers out
} // namespace

void finish(int code) { QCoreApplication::exit(Exit::worst(code, s_Floor)); }

void discover(CDiscoveryCycle* f, std::function<void()> then)
{
    f->Run([f, then] {
        if (f->Dropped() > 0) {
            Out::error(QStringLiteral("%1 more receivers answered than the %2 one discovery lists; they are left out")
                           .arg(f->Dropped()).arg(f->Rows()));
            s_Floor = Exit::worst(s_Floor, Exit::NotFound);
        }
        then();
    });
}

void tellNobody(const CDiscoveryCycle& f)
{
    Out::error(f.Diagnosis());
    if (!f.AllInterfaces())
        Out::error(QStringLiteral("--all-interfaces also asks every interface's directed broadcast address"));
}

std::function<void()> onInterrupt;

void readDevice(const quint8* record, std::function<void(const DeviceRead&)> done)
{
    // No image: this link reads and never programs.
    auto* sdr = new CSdrInterface(qApp, nullptr);
    sdr->m_IPAdr = QHostAddress(Disc::u32(record, Disc::OffIPAdr));
    sdr->m_Port = Disc::u16(record, Disc::OffTcpPort);
    const bool iq = record[Disc::OffOpMode] == Disc::OpModeIQ;
    // Deleted on the event loop, never inside one of its own signals.
    const auto end = [sdr, done](const DeviceRead& read) {
        sdr->disconnect();
        QTimer::singleShot(0, qApp, [sdr, done, read] {
            delete sdr;
            done(read);
        });
    };
    auto* limit = new QTimer(sdr);
    limit->setSingleShot(true);
    QObject::connect(limit, &QTimer::timeout, [sdr, end, iq] {
        DeviceRead read;
        read.problem = QStringLiteral("no answer on %1:%2 within %3 s%4")
                           .arg(sdr->m_IPAdr.toString()).arg(sdr->m_Port).arg(ConnectTimeoutMs / 1000)
                           .arg(iq ? QString() : QStringLiteral(" (the receiver serves its control port only in I/Q Mode)"));
        end(read);
    });
    limit->start(ConnectTimeoutMs);
    QObject::connect(sdr, &CSdrInterface::NewSdrStatus, [sdr, end](eSdrStatus s) {
        if (s != SDR_GOT_INFO)
            return;
        DeviceRead read;
        read.model = sdr->m_ModelName;
        read.serial = sdr->m_SerialNum;
        read.productId = sdr->m_ProductId;
        read.versions = sdr->m_Versions;
        read.items = Out::deviceItems(*sdr);
        end(read);
    });
}

void withReceiver(CDiscoveryCycle* f, const QString& serial, std::function<void(int row)> then)
{
    discover(f, [f, serial, then] {
        const int row = f->RowOf(serial);
        if (row < 0) {
            Out::error(QStringLiteral("receiver %1 not found").arg(serial));
            if (f->Rows() == 0)
                tellNobody(*f);
            return finish(Exit::NotFound);
        }
        if (!Disc::isKnownModel(f->Header(row))) {
            Out::error(QStringLiteral("receiver %1 is of a model this program does not know (%2)")
                           .arg(serial, Disc::text(f->Header(row), Disc::ModelName)));
            return finish(Exit::NotFound);
        }
        then(row);
    });
}

} // namespace Ctl

using namespace Ctl;

void Commands::find(const CtlOptions& o)
{
    auto* f = finder(o);
    discover(f, [f, o] {
        if (f->Rows() == 0) {
            Out::error(QStringLiteral("no receiver answered"));
            tellNobody(*f);
            if (o.json)
                Out::json(QJsonArray());
            return finish(Exit::NotFound);
        }
        if (o.json) {
            QJsonArray list;
            for (int row = 0; row < f->Rows(); ++row)
                list.append(Out::receiverJson(*f, row, o.showSecrets));
            Out::json(list);
            return finish(Exit::Ok);
        }
        QStringList headers = Out::receiverHeaders();
        if (o.allInterfaces)
            headers << QStringLiteral("INTERFACE");
        QVector<QStringList> rows;
        for (int row = 0; row < f->Rows(); ++row)
            rows << (Out::receiverCells(*f, row) + (o.allInterfaces ? QStringList{f->Interface(row)} : QStringList()));
        Out::table(headers, rows);
        finish(Exit::Ok);
    });
}

void Commands::show(const CtlOptions& o)
{
    auto* f = finder(o);
    withReceiver(f, o.args.value(0), [f, o](int row) {
        const QJsonObject j = Out::receiverJson(*f, row, o.showSecrets);
        if (o.json)
            return Out::json(j), finish(Exit::Ok);
        QVector<QStringList> rows;
        for (const RecordFields::Field& field : RecordFields::all())
            if (RecordFields::applies(field, f->Record(row)))
                rows << QStringList{QLatin1String(field.name), RecordFields::text(field, f->Record(row), o.showSecrets)};
        if (j.contains(QStringLiteral("Interface")))
            rows << QStringList{QStringLiteral("Interface"), j.value(QStringLiteral("Interface")).toString()};
        Out::table({QStringLiteral("FIELD"), QStringLiteral("VALUE")}, rows);
        finish(Exit::Ok);
    });
}

void Commands::set(const CtlOptions& o)
{
    const QString serial = o.args.value(0);
    QVector<QPair<const RecordFields::Field*, QString>> edits;
    // Every value is checked before anything goes out; what depends on the receiver, after discovery.
    quint8 scratch[Disc::RecordSize] = {};
    for (const QString& a : o.args.mid(1)) {
        const int eq = a.indexOf(QLatin1Char('='));
        const RecordFields::Field* field = eq > 0 ? RecordFields::find(a.left(eq)) : nullptr;
        QString error;
        if (!field) {
            QStringList names;
            for (const RecordFields::Field& f : RecordFields::all())
                if (f.editable)
                    names << QLatin1String(f.name);
            // Only the name: a mistyped password field must not print the password.
            Out::error(QStringLiteral("\"%1\" is not FIELD=VALUE with one of these fields: %2")
                           .arg(a.section(QLatin1Char('='), 0, 0), names.join(QStringLiteral(", "))));
            return finish(Exit::BadInput);
        }
        // A scratch record of no model: only the model's own limits wait for the receiver.
        if (!RecordFields::apply(*field, a.mid(eq + 1), scratch, &error)) {
            Out::error(error + QStringLiteral("; nothing was sent"));
            return finish(Exit::BadInput);
        }
        edits.append({field, a.mid(eq + 1)});
    }
    auto* f = finder(o);
    withReceiver(f, serial, [f, o, serial, edits](int row) {
        QByteArray target(reinterpret_cast<const char*>(f->Record(row)), Disc::RecordSize);
        const QByteArray before = target;
        quint8* t = reinterpret_cast<quint8*>(target.data());
        QVector<const RecordFields::Field*> fields;
        bool network = false;
        for (const auto& e : edits) {
            QString error;
            if (!RecordFields::apply(*e.first, e.second, t, &error)) {
                Out::error(error + QStringLiteral("; nothing was sent"));
                return finish(Exit::BadInput);
            }
            fields << e.first;
            network = network || (e.first->kind == RecordFields::Kind::Address && e.first->offset != Disc::OffAltUdpAdr);
        }
        const QString problem = network ? RecordFields::networkProblem(t) : QString();
        if (!problem.isEmpty() && !o.force) {
            Out::error(problem + QStringLiteral("; nothing was sent (--force sends it anyway)"));
            return finish(Exit::BadInput);
        }
        auto* queue = new FinderQueue(f, qApp);
        queue->SendSet(reinterpret_cast<const quint8*>(target.constData()));
        UpdateRecord::appendSettings(f->Record(row), reinterpret_cast<const quint8*>(target.constData()));
        queue->Confirm(serial, target, fields, o.confirmMs, [=](const quint8* seen, bool ok) {
            const auto* b = reinterpret_cast<const quint8*>(before.constData());
            const auto* t = reinterpret_cast<const quint8*>(target.constData());
            for (const RecordFields::Field* field : fields) {
                const bool took = seen && RecordFields::same(*field, seen, t);
                QString s = QStringLiteral("%1: %2 -> %3: ").arg(QLatin1String(field->name), RecordFields::text(*field, b, o.showSecrets),
                                                                 RecordFields::text(*field, t, o.showSecrets));
                s += took ? QStringLiteral("adopted")
                          : seen ? QStringLiteral("NOT adopted (the receiver reports %1)").arg(RecordFields::text(*field, seen, o.showSecrets))
                                 : QStringLiteral("not confirmed (no answer)");
                Out::line(s);
            }
            if (!ok)
                Out::error(QStringLiteral("%1 did not confirm the change within %2 ms").arg(serial).arg(o.confirmMs));
            finish(ok ? Exit::Ok : Exit::Failed);
        });
    });
}

void Commands::info(const CtlOptions& o)
{
    auto* f = finder(o);
    withReceiver(f, o.args.value(0), [f, o](int row) {
        readDevice(f->Record(row), [o](const DeviceRead& read) {
            if (!read.problem.isEmpty()) {
                Out::error(read.problem);
                return finish(Exit::NotFound);
            }
            QJsonObject j;
            QVector<QStringList> rows;
            for (const auto& i : read.items) {
                j.insert(i.first, i.second);
                rows << QStringList{i.first, i.second.toVariant().toString()};
            }
            if (o.json)
                Out::json(j);
            else
                Out::table({QStringLiteral("ITEM"), QStringLiteral("VALUE")}, rows);
            finish(Exit::Ok);
        });
    });
}

void Commands::interrupt()
{
    if (onInterrupt)
        onInterrupt();
    else
        finish(Exit::Interrupted);
}
