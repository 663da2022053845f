#include "RecordFields.h"

#include "ReceiverModel.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <cstring>

namespace RecordFields {

namespace {

// The radio buttons' texts, as the form has them.
const char* const OpModes[] = {"I/Q Mode", "Quill Mode", "Aux Mode"};
const char* const UartModes[] = {"Normal", "Activity Monitor", "Debug"};
// The combo boxes' items, which the dialog translates in its own context.
const char* const AudioMonitor[] = {QT_TRANSLATE_NOOP("CEditQuillDlg", "Monitor Off"),
                                    QT_TRANSLATE_NOOP("CEditQuillDlg", "Only When Connected"),
                                    QT_TRANSLATE_NOOP("CEditQuillDlg", "Always On")};
const char* const ExtRef[] = {QT_TRANSLATE_NOOP("CEditQuillDlg", "Ext Ref Off"),
                              QT_TRANSLATE_NOOP("CEditQuillDlg", "10 MHz Ref")};

QString squeezed(const QString& s) { return s.toLower().remove(QRegularExpression(QStringLiteral("[^a-z0-9]"))); }

/// Unsigned decimal digits only, as the dialog's validators take them; -1 for anything else.
qint64 plainNumber(const QString& s, qint64 max)
{
    if (s.isEmpty() || s.size() > 10)
        return -1;
    qint64 v = 0;
    for (const QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        v = v * 10 + (c.unicode() - '0');
    }
    return v <= max ? v : -1;
}

quint32 width32(const Field& f) { return f.kind == Kind::Port || f.kind == Kind::Version ? 2 : 4; }

bool fail(QString* error, const Field& f, const QString& limit)
{
    *error = QStringLiteral("%1: %2").arg(QLatin1String(f.name), limit);
    return false;
}

} // namespace

const QVector<Field>& all()
{
    using namespace Disc;
    static const QVector<Field> fields = {
        {"Device", Kind::Text, ModelName.offset, ModelName.width, nullptr, 0, false},
        {"Serial Number", Kind::Text, SerialNum.offset, SerialNum.width, nullptr, 0, false},
        {"MAC", Kind::Mac, OffMacAdr, MacLength, nullptr, 0, false},
        {"Firmware Version", Kind::Version, OffFwVersion, 2, nullptr, 0, false},
        {"Boot Version", Kind::Version, OffBootVersion, 2, nullptr, 0, false},
        {"HW Version", Kind::Version, OffHwVersion, 2, nullptr, 0, false},
        {"In Use", Kind::InUse, OffStatus, StatusInUseMask, nullptr, 0, false},
        {"TCP IP Adr", Kind::Address, OffIPAdr, 4},
        {"TCP Port", Kind::Port, OffTcpPort, 2},
        {"Use DHCP", Kind::Flag, OffNetFlags, NetFlagDhcp},
        {"SubNet Mask", Kind::Address, OffSubnetMask, 4},
        {"GateWay IP", Kind::Address, OffGatewayAdr, 4},
        {"Use Alternate Data Destination UDP Address", Kind::Flag, OffNetFlags, NetFlagAltUdp},
        {"UDP Adr", Kind::Address, OffAltUdpAdr, 4},
        {"UDP Port", Kind::Port, OffAltUdpPort, 2},
        {"Quill-xx Operation Mode", Kind::Choice, OffOpMode, 1, OpModes, 3},
        {"UART Operational Mode", Kind::Choice, OffUartMode, 1, UartModes, 3},
        {"RF Port 2 Auto Range Min", Kind::RfMHz, OffRFPortMin, 4},
        {"RF Port 2 Auto Range Max", Kind::RfMHz, OffRFPortMax, 4},
        {"Audio Monitor", Kind::Choice, OffAudioMonitor, 1, AudioMonitor, 3},
        {"External Ref", Kind::Choice, OffExtRef, 1, ExtRef, 2},
        {"Quill-xx Description", Kind::Text, SdrDesc.offset, SdrDesc.width},
        {"Quill-xx Description URL", Kind::Text, SdrDescUrl.offset, SdrDescUrl.width},
        {"Optional Quill-xx Server URL", Kind::Text, SdrServerUrl.offset, SdrServerUrl.width},
        {"List Server Domain", Kind::Text, ListServerUrl.offset, ListServerUrl.width},
        {"List Server Script Path", Kind::Text, ListServerActionPath.offset, ListServerActionPath.width},
        {"Receive Password", Kind::Text, RxPw.offset, RxPw.width, nullptr, 0, true, true},
        {"Transmit Password", Kind::Text, TxPw.offset, TxPw.width, nullptr, 0, true, true},
        {"Latitude", Kind::Text, Lat.offset, Lat.width},
        {"Longitude", Kind::Text, Lon.offset, Lon.width},
        {"Connection Time Limit", Kind::Minutes, OffTimeout, 1},
    };
    return fields;
}

const Field* find(const QString& key)
{
    const QString k = squeezed(key);
    for (const Field& f : all())
        if (squeezed(QLatin1String(f.name)) == k)
            return &f;
    return nullptr;
}

const Field& named(const char* name)
{
    for (const Field& f : all())
        if (std::strcmp(f.name, name) == 0)
            return f;
    qFatal("RecordFields: no field named \"%s\"", name);
}

bool hasRfRange(const quint8* record)
{
    const ReceiverModel* m = Models::byHeader(record);
    return !m || m->hasRfRange;
}

bool applies(const Field& f, const quint8* record)
{
    return f.kind != Kind::RfMHz || hasRfRange(record);
}

QJsonValue json(const Field& f, const quint8* r, bool showSecrets)
{
    switch (f.kind) {
    case Kind::Port:
        return int(Disc::u16(r, f.offset));
    case Kind::Flag:
    case Kind::InUse:
        return (r[f.offset] & f.width) != 0;
    case Kind::Choice:
        // A byte no radio button or list entry stands for stays a number.
        return r[f.offset] < f.choiceCount ? QJsonValue(QLatin1String(f.choices[r[f.offset]])) : QJsonValue(r[f.offset]);
    case Kind::Minutes:
        return r[f.offset];
    case Kind::RfMHz:
        return Disc::u32(r, f.offset) / HzPerMHz;
    default:
        return text(f, r, showSecrets);
    }
}

QString text(const Field& f, const quint8* r, bool showSecrets)
{
    switch (f.kind) {
    case Kind::Text: {
        // An empty secret shows as empty: that there is none is no secret, and tells a person so.
        const QString t = Disc::text(r, f.textField());
        return f.secret && !showSecrets && !t.isEmpty() ? QLatin1String(Masked) : t;
    }
    case Kind::Address:
        return Disc::addressText(r, f.offset);
    case Kind::Mac:
        return Disc::macText(r);
    case Kind::Version:
        return Disc::versionText(Disc::u16(r, f.offset));
    case Kind::Flag:
    case Kind::InUse:
        return json(f, r).toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    case Kind::Choice:
        return r[f.offset] < f.choiceCount ? QLatin1String(f.choices[r[f.offset]])
                                           : QStringLiteral("(none: %1)").arg(r[f.offset]);
    case Kind::Minutes:
        return QStringLiteral("%1 Min").arg(r[f.offset]);
    case Kind::RfMHz:
        return QStringLiteral("%1 MHz").arg(Disc::u32(r, f.offset) / HzPerMHz, 0, 'f', 3);
    case Kind::Port:
        return QString::number(Disc::u16(r, f.offset));
    }
    return QString();
}

bool apply(const Field& f, const QString& v, quint8* r, QString* error)
{
    if (!f.editable)
        return fail(error, f, QStringLiteral("read only; the receiver reports it"));
    switch (f.kind) {
    case Kind::Text: {
        if (v.size() > f.maxChars())
            return fail(error, f, QStringLiteral("at most %1 characters (%2 given)").arg(f.maxChars()).arg(v.size()));
        for (const QChar c : v)
            if (c.unicode() > 0xFF)
                return fail(error, f, f.secret ? QStringLiteral("ISO 8859-1 characters only")
                                               : QStringLiteral("ISO 8859-1 characters only ('%1' is not one)").arg(c));
        Disc::setText(r, f.textField(), v);
        return true;
    }
    case Kind::Address: {
        const QStringList parts = v.split(QLatin1Char('.'));
        quint32 a = 0;
        for (const QString& p : parts) {
            const qint64 octet = p.size() <= 3 ? plainNumber(p, 255) : -1;
            if (parts.size() != 4 || octet < 0)
                return fail(error, f, QStringLiteral("an IPv4 address, four numbers 0-255 joined by dots"));
            a = (a << 8) | quint32(octet);
        }
        Disc::setU32(r, f.offset, a);
        return true;
    }
    case Kind::Port: {
        // An empty field is port 0, as in the dialog.
        const qint64 port = v.isEmpty() ? 0 : plainNumber(v, MaxPort);
        if (port < 0)
            return fail(error, f, QStringLiteral("a port number 0-%1, plain digits").arg(MaxPort));
        Disc::setU16(r, f.offset, quint16(port));
        return true;
    }
    case Kind::Flag: {
        const QString s = squeezed(v);
        const bool on = s == QLatin1String("1") || s == QLatin1String("on") || s == QLatin1String("yes")
            || s == QLatin1String("true");
        if (!on && s != QLatin1String("0") && s != QLatin1String("off") && s != QLatin1String("no")
            && s != QLatin1String("false"))
            return fail(error, f, QStringLiteral("on or off (also yes/no, true/false, 1/0)"));
        r[f.offset] = on ? quint8(r[f.offset] | f.width) : quint8(r[f.offset] & ~f.width);
        return true;
    }
    case Kind::Choice: {
        QStringList names;
        int match = int(plainNumber(v, f.choiceCount - 1));
        for (int i = 0; i < f.choiceCount; ++i) {
            names << QStringLiteral("%1 (%2)").arg(i).arg(QLatin1String(f.choices[i]));
            const QString c = squeezed(QLatin1String(f.choices[i]));
            if (match < 0 && !squeezed(v).isEmpty() && c.startsWith(squeezed(v)))
                match = i;
        }
        if (match < 0)
            return fail(error, f, QStringLiteral("one of ") + names.join(QStringLiteral(", ")));
        r[f.offset] = quint8(match);
        return true;
    }
    case Kind::Minutes: {
        const qint64 m = plainNumber(v, MaxMinutes);
        if (m < 0)
            return fail(error, f, QStringLiteral("0-%1 minutes (0: no limit)").arg(MaxMinutes));
        r[f.offset] = quint8(m);
        return true;
    }
    case Kind::RfMHz: {
        if (!applies(f, r))
            return fail(error, f, QStringLiteral("this model has no RF range"));
        // As in the spin boxes: Hz are the value truncated toward zero.
        static const QRegularExpression mhz(QStringLiteral("^[0-9]{1,2}(\\.[0-9]{0,%1})?$").arg(MHzDecimals));
        const double value = v.toDouble();
        if (!mhz.match(v).hasMatch() || value > MaxMHz)
            return fail(error, f, QStringLiteral("0 to %1 MHz, at most %2 decimals").arg(MaxMHz).arg(MHzDecimals));
        Disc::setU32(r, f.offset, quint32(static_cast<qint64>(value * HzPerMHz)));
        return true;
    }
    default:
        return fail(error, f, QStringLiteral("read only"));
    }
}

bool same(const Field& f, const quint8* a, const quint8* b)
{
    switch (f.kind) {
    case Kind::Text:
        return Disc::sameText(a, b, f.textField());
    case Kind::Flag:
    case Kind::InUse:
        return ((a[f.offset] ^ b[f.offset]) & f.width) == 0;
    case Kind::Choice:
    case Kind::Minutes:
        return a[f.offset] == b[f.offset];
    case Kind::Mac:
        return std::memcmp(a + f.offset, b + f.offset, Disc::MacLength) == 0;
    default:
        return std::memcmp(a + f.offset, b + f.offset, width32(f)) == 0;
    }
}

QString networkProblem(const quint8* r)
{
    const quint32 address = Disc::u32(r, Disc::OffIPAdr);
    const quint32 mask = Disc::u32(r, Disc::OffSubnetMask);
    const quint32 gateway = Disc::u32(r, Disc::OffGatewayAdr);
    const quint32 hosts = ~mask;
    const auto dotted = [](quint32 a) { return QHostAddress(a).toString(); };
    // A usable mask is ones followed by zeros: the host part plus one is a power of two.
    if (mask == 0 || (hosts & (hosts + 1)) != 0)
        return QStringLiteral("subnet mask %1 is not contiguous (ones, then zeros)").arg(dotted(mask));
    const int prefix = 32 - qPopulationCount(hosts);
    const QString subnet = QStringLiteral("%1/%2").arg(dotted(address & mask)).arg(prefix);
    // /31 and /32 have no network or broadcast address of their own.
    if (hosts >= 3 && (address & hosts) == 0)
        return QStringLiteral("address %1 is the network address of %2").arg(dotted(address), subnet);
    if (hosts >= 3 && (address & hosts) == hosts)
        return QStringLiteral("address %1 is the broadcast address of %2").arg(dotted(address), subnet);
    if (gateway != 0 && (gateway & mask) != (address & mask))
        return QStringLiteral("gateway %1 is outside the subnet %2 of %3").arg(dotted(gateway), subnet, dotted(address));
    return QString();
}

} // namespace RecordFields
