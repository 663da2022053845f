#include "SettingsFile.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>

namespace SettingsFile {

namespace {

using RecordFields::Field;
using RecordFields::Kind;

QString typeName(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("a string");
    }
}

/// The value as `set` takes it after FIELD=, or a null string for a JSON type the field never takes.
/// A string is always taken as `set` takes it; a number where `show --json` prints one, and for a
/// flag as 1 or 0; a boolean for a flag. Text and addresses take strings only: a number's JSON form
/// need not be what was meant ("51.50" reads back as 51.5).
QString asText(const Field& f, const QJsonValue& v)
{
    if (v.isString()) {
        const QString s = v.toString();
        return s.isNull() ? QStringLiteral("") : s;  // an empty text is a value, not a wrong type
    }
    if (v.isBool() && f.kind == Kind::Flag)
        return v.toBool() ? QStringLiteral("on") : QStringLiteral("off");
    if (!v.isDouble() || f.kind == Kind::Text || f.kind == Kind::Address)
        return QString();
    const double d = v.toDouble();
    // A fraction or a sign reaches `set`'s own check, which refuses it with its own message.
    if (f.kind != Kind::RfMHz && d == std::trunc(d) && std::fabs(d) < 1e15)
        return QString::number(qint64(d));
    return QString::number(d, 'g', 15);
}

QString expected(const Field& f)
{
    switch (f.kind) {
    case Kind::Text:
    case Kind::Address:
        return QStringLiteral("a string");
    case Kind::Flag:
        return QStringLiteral("true or false, or a string");
    default:
        return QStringLiteral("a number or a string");
    }
}

/// Reads one object of KEY: VALUE into `wanted`, each problem prefixed with `where`.
void readEntry(const QString& where, const QJsonValue& entry, Wanted* wanted, QStringList* problems)
{
    if (!entry.isObject()) {
        *problems << QStringLiteral("%1: not an object").arg(where);
        return;
    }
    QMap<const Field*, QString> keyOf;
    const QJsonObject o = entry.toObject();
    for (auto it = o.begin(); it != o.end(); ++it) {
        const Field* f = RecordFields::find(it.key());
        const QString value = f ? asText(*f, it.value()) : QString();
        QString error;
        // A scratch record of no model: the model's own limits wait for the receiver, as in `set`.
        quint8 scratch[Disc::RecordSize] = {};
        if (!f)
            *problems << QStringLiteral("%1: unknown key \"%2\"").arg(where, it.key());
        else if (!f->editable)
            *problems << QStringLiteral("%1: \"%2\" is not a setting; the receiver reports it").arg(where, it.key());
        else if (keyOf.contains(f))
            *problems << QStringLiteral("%1: \"%2\" and \"%3\" name the same setting").arg(where, keyOf.value(f), it.key());
        else if (value.isNull())
            *problems << QStringLiteral("%1: %2: %3, not %4").arg(where, QLatin1String(f->name), expected(*f), typeName(it.value()));
        else if (!RecordFields::apply(*f, value, scratch, &error))
            *problems << QStringLiteral("%1: %2").arg(where, error);
        else
            wanted->insert(f, value);
        if (f)
            keyOf.insert(f, it.key());
    }
}

} // namespace

bool settable(const Field& f, const quint8* record) { return f.editable && RecordFields::applies(f, record); }

QJsonObject exportRecord(const quint8* record, bool showSecrets)
{
    QJsonObject o;
    for (const Field& f : RecordFields::all())
        if (settable(f, record))
            o.insert(QLatin1String(f.name), RecordFields::json(f, record, showSecrets));
    return o;
}

bool parse(const QByteArray& bytes, Document* doc, QStringList* problems)
{
    *doc = Document();
    problems->clear();
    QJsonParseError e;
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &e);
    if (e.error != QJsonParseError::NoError)
        *problems << QStringLiteral("not JSON: %1 at byte %2").arg(e.errorString()).arg(e.offset);
    else if (!json.isObject())
        *problems << QStringLiteral("not a JSON object");
    const QJsonObject top = json.object();
    for (auto it = top.begin(); it != top.end(); ++it) {
        if (it.key() == QLatin1String("defaults")) {
            readEntry(it.key(), it.value(), &doc->defaults, problems);
        } else if (it.key() != QLatin1String("receivers")) {
            *problems << QStringLiteral("unknown key \"%1\"; a settings file holds \"defaults\" and \"receivers\"").arg(it.key());
        } else if (!it.value().isObject()) {
            *problems << QStringLiteral("receivers: not an object");
        } else {
            const QJsonObject receivers = it.value().toObject();
            for (auto r = receivers.begin(); r != receivers.end(); ++r)
                readEntry(r.key(), r.value(), &doc->receivers[r.key()], problems);
        }
    }
    return problems->isEmpty();
}

Plan plan(const quint8* record, const Wanted& defaults, const Wanted& own, bool showSecrets)
{
    Plan p;
    p.target = QByteArray(reinterpret_cast<const char*>(record), Disc::RecordSize);
    bool network = false;
    for (const Field& f : RecordFields::all()) {
        // A default the model lacks is no fault: a fleet's RF range must not stop its Quillrads.
        const bool fromDefaults = !own.contains(&f);
        if (fromDefaults && (!defaults.contains(&f) || !RecordFields::applies(f, record)))
            continue;
        const QString value = fromDefaults ? defaults.value(&f) : own.value(&f);
        if (f.secret && value == QLatin1String(RecordFields::Masked))
            continue;
        QByteArray next = p.target;
        auto* n = reinterpret_cast<quint8*>(next.data());
        QString error;
        if (!RecordFields::apply(f, value, n, &error))
            p.problems << error;
        else if (!RecordFields::same(f, n, record)) {
            p.target = next;
            p.changes.append({&f, RecordFields::text(f, record, showSecrets), RecordFields::text(f, n, showSecrets)});
            network = network || (f.kind == Kind::Address && f.offset != Disc::OffAltUdpAdr);
        }
    }
    if (network)
        p.networkProblem = RecordFields::networkProblem(reinterpret_cast<const quint8*>(p.target.constData()));
    return p;
}

} // namespace SettingsFile
