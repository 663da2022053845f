#include "QuillSim.h"
#include "SimControl.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <utility>


// The emulator keeps its own picture of the record layout on purpose: a receiver that shared the
// finder's encoder would agree with the finder's mistakes.
namespace {

enum class Kind { U8, U16, U32, Ip, Text, Mac };

struct Field {
    const char* name;
    int offset;
    int width;
    Kind kind;
};

const Field kFields[] = {
    {"length", 0, 2, Kind::U16},
    {"msgType", 4, 1, Kind::U8},
    {"model", 5, 16, Kind::Text},
    {"serial", 21, 16, Kind::Text},
    {"address", 37, 4, Kind::Ip},
    {"tcpPort", 53, 2, Kind::U16},
    {"mac", 56, 6, Kind::Mac},
    {"hwVersion", 62, 2, Kind::U16},
    {"fwVersion", 64, 2, Kind::U16},
    {"bootVersion", 66, 2, Kind::U16},
    {"netFlags", 71, 1, Kind::U8},
    {"subnetMask", 72, 4, Kind::Ip},
    {"gateway", 76, 4, Kind::Ip},
    {"altUdpAddress", 80, 4, Kind::Ip},
    {"altUdpPort", 84, 2, Kind::U16},
    {"status", 86, 1, Kind::U8},
    {"opMode", 87, 1, Kind::U8},
    {"description", 88, 151, Kind::Text},
    {"descriptionUrl", 239, 151, Kind::Text},
    {"serverUrl", 390, 81, Kind::Text},
    {"listServerUrl", 471, 81, Kind::Text},
    {"listServerActionPath", 552, 81, Kind::Text},
    {"rxPassword", 633, 17, Kind::Text},
    {"txPassword", 650, 17, Kind::Text},
    {"lat", 667, 33, Kind::Text},
    {"lon", 700, 33, Kind::Text},
    {"timeout", 733, 1, Kind::U8},
    {"uartMode", 734, 1, Kind::U8},
    {"rfPortMin", 735, 4, Kind::U32},
    {"rfPortMax", 739, 4, Kind::U32},
    {"audioMonitor", 743, 1, Kind::U8},
    {"extRef", 744, 1, Kind::U8},
};

// Keys of a receiver's JSON object that are not record fields.
const char* const kReceiverKeys[] = {"replyDelayMs", "adoptDelayMs", "misbehave", "replySize", "ownModelOnly", "serveTcp", "control"};

// Defaults that make a plausible receiver when a JSON file names only a few fields.
QJsonObject defaults()
{
    return QJsonObject{{"length", 862},       {"msgType", 1},         {"model", SimModels::All[0].name},
                       {"serial", "QR000001"}, {"address", "198.18.0.2"}, {"tcpPort", 50000},
                       {"mac", "02:00:c0:a8:00:02"}, {"hwVersion", 200}, {"fwVersion", 123},
                       {"bootVersion", 101},   {"subnetMask", "255.255.255.0"}, {"gateway", "198.18.0.254"},
                       {"altUdpAddress", "0.0.0.0"}, {"description", "Emulated receiver"},
                       {"lat", "51.5074"},     {"lon", "-0.1278"}, {"txPassword", "secret"},
                       {"rfPortMax", 56000000}};
}

void put(QByteArray& rec, int off, int width, quint32 v)
{
    for (int i = 0; i < width; ++i)
        rec[off + i] = char(v >> (8 * i));
}

quint32 get(const QByteArray& rec, int off, int width)
{
    quint32 v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | quint8(rec[off + i]);
    return v;
}

bool putField(QByteArray& rec, const Field& f, const QJsonValue& v, QString* error)
{
    switch (f.kind) {
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
        if (!v.isDouble()) {
            *error = QStringLiteral("%1: a number is expected").arg(QLatin1String(f.name));
            return false;
        }
        put(rec, f.offset, f.width, quint32(qint64(v.toDouble())));
        return true;
    case Kind::Ip: {
        QHostAddress a;
        if (!v.isString() || !a.setAddress(v.toString()) || a.protocol() != QAbstractSocket::IPv4Protocol) {
            *error = QStringLiteral("%1: an IPv4 address is expected").arg(QLatin1String(f.name));
            return false;
        }
        put(rec, f.offset, 4, a.toIPv4Address());
        return true;
    }
    case Kind::Text: {
        const QByteArray t = v.toString().toLatin1();
        if (!v.isString() || t.size() > f.width) {
            *error = QStringLiteral("%1: text of at most %2 characters is expected").arg(QLatin1String(f.name)).arg(f.width);
            return false;
        }
        rec.replace(f.offset, t.size(), t);
        if (t.size() < f.width)
            rec[f.offset + t.size()] = 0;
        return true;
    }
    case Kind::Mac: {
        const QStringList parts = v.toString().split(QLatin1Char(':'));
        if (parts.size() != 6) {
            *error = QStringLiteral("mac: six colon-separated hex pairs are expected");
            return false;
        }
        for (int i = 0; i < 6; ++i)  // first pair is stored last
            rec[f.offset + 5 - i] = char(parts[i].toUInt(nullptr, 16));
        return true;
    }
    }
    return false;
}

QJsonValue getField(const QByteArray& rec, const Field& f)
{
    switch (f.kind) {
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
        return double(get(rec, f.offset, f.width));
    case Kind::Ip:
        return QHostAddress(get(rec, f.offset, 4)).toString();
    case Kind::Text: {
        const QByteArray field = rec.mid(f.offset, f.width);
        const int end = field.indexOf('\0');
        return QString::fromLatin1(end < 0 ? field : field.left(end));
    }
    case Kind::Mac: {
        QStringList parts;
        for (int i = 5; i >= 0; --i)
            parts << QStringLiteral("%1").arg(quint8(rec[f.offset + i]), 2, 16, QLatin1Char('0'));
        return parts.join(QLatin1Char(':'));
    }
    }
    return QJsonValue();
}

const Field* findField(const QString& name)
{
    for (const Field& f : kFields)
        if (name == QLatin1String(f.name))
            return &f;
    return nullptr;
}

// Offsets the receiver owns: a Set never changes them.
const Field* const kReadOnly[] = {findField(QStringLiteral("length")), findField(QStringLiteral("model")),
                                  findField(QStringLiteral("serial")), findField(QStringLiteral("mac")),
                                  findField(QStringLiteral("hwVersion")), findField(QStringLiteral("fwVersion")),
                                  findField(QStringLiteral("bootVersion")), findField(QStringLiteral("status")),
                                  findField(QStringLiteral("msgType"))};

constexpr int kHeaderSize = 56;
constexpr int kDefaultShort = 40;
constexpr int kDefaultOverlong = 1000;

QString requestModel(const QByteArray& d)
{
    const QByteArray name = d.mid(5, 16);
    const int end = name.indexOf('\0');
    return QString::fromLatin1(end < 0 ? name : name.left(end));
}

bool hasKey(const QByteArray& d) { return d.size() >= 4 && quint8(d[2]) == 0x5A && quint8(d[3]) == 0xA5; }

// A control port reports a product ID. One guessed for a model the emulator does not know would be
// another model's, and a client's model check would pass or fail for the wrong reason.
bool hasProductId(const SimReceiver& r, QString* error)
{
    SimControlConfig c;
    c.model = r.model();
    c.productId = SimControlConfig::productIdFromJson(r.control.value(QLatin1String("productId")));
    if (!r.serveTcp || c.reportedProductId() != 0)
        return true;
    *error = QStringLiteral("%1: the emulator knows no model \"%2\"; give its \"control\" a \"productId\", "
                            "or set \"serveTcp\": false").arg(r.serial(), r.model());
    return false;
}

} // namespace

namespace SimRecord {

QByteArray build(const QJsonObject& o, QString* error)
{
    QByteArray rec(Size, '\0');
    rec[2] = char(0x5A);
    rec[3] = char(0xA5);
    QJsonObject all = defaults();
    for (auto it = o.begin(); it != o.end(); ++it)
        all.insert(it.key(), it.value());
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (std::find_if(std::begin(kReceiverKeys), std::end(kReceiverKeys),
                         [&](const char* k) { return it.key() == QLatin1String(k); }) != std::end(kReceiverKeys))
            continue;
        const Field* f = findField(it.key());
        if (!f) {
            *error = QStringLiteral("unknown key \"%1\"").arg(it.key());
            return QByteArray();
        }
        if (!putField(rec, *f, it.value(), error))
            return QByteArray();
    }
    return rec;
}

QJsonObject fields(const QByteArray& record)
{
    QByteArray rec = record.leftJustified(Size, '\0', true);
    QJsonObject o;
    for (const Field& f : kFields)
        o.insert(QLatin1String(f.name), getField(rec, f));
    return o;
}

} // namespace SimRecord

QString SimReceiver::serial() const { return SimRecord::fields(record).value(QStringLiteral("serial")).toString(); }
QString SimReceiver::model() const { return SimRecord::fields(record).value(QStringLiteral("model")).toString(); }
QHostAddress SimReceiver::address() const { return QHostAddress(get(record, 37, 4)); }
quint16 SimReceiver::tcpPort() const { return quint16(get(record, 53, 2)); }

SimReceiver SimReceiver::fromJson(const QJsonObject& o, QString* error)
{
    SimReceiver r;
    r.record = SimRecord::build(o, error);
    if (r.record.isEmpty())
        return r;
    r.replyDelayMs = o.value(QStringLiteral("replyDelayMs")).toInt(0);
    r.adoptDelayMs = o.value(QStringLiteral("adoptDelayMs")).toInt(0);
    r.replySize = o.value(QStringLiteral("replySize")).toInt(-1);
    r.ownModelOnly = o.value(QStringLiteral("ownModelOnly")).toBool(false);
    r.serveTcp = o.value(QStringLiteral("serveTcp")).toBool(true);
    r.control = o.value(QStringLiteral("control")).toObject();
    const QString m = o.value(QStringLiteral("misbehave")).toString();
    if (m.isEmpty())
        r.misbehaviour = Polite;
    else if (m == QLatin1String("wrongKey"))
        r.misbehaviour = WrongKey;
    else if (m == QLatin1String("short"))
        r.misbehaviour = ShortReply;
    else if (m == QLatin1String("overlong"))
        r.misbehaviour = Overlong;
    else {
        *error = QStringLiteral("unknown misbehaviour \"%1\"").arg(m);
        r.record.clear();
    }
    return r;
}

QuillSim::QuillSim(QObject* parent)
    : QObject(parent)
    , m_pSocket(new QUdpSocket(this))
{
    connect(m_pSocket, &QUdpSocket::readyRead, this, &QuillSim::ReadDatagrams);
}

QuillSim::~QuillSim() = default;

bool QuillSim::loadJson(const QByteArray& json, QString* error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (!doc.isObject()) {
        *error = pe.errorString();
        return false;
    }
    const QJsonArray list = doc.object().value(QStringLiteral("receivers")).toArray();
    for (int i = 0; i < list.size(); ++i) {
        SimReceiver r = SimReceiver::fromJson(list[i].toObject(), error);
        if (r.record.isEmpty() || !hasProductId(r, error)) {
            *error = QStringLiteral("receiver %1: %2").arg(i).arg(*error);
            return false;
        }
        addReceiver(r);
    }
    return true;
}

void QuillSim::addReceiver(const SimReceiver& r) { m_Receivers.append(r); }

bool QuillSim::start(QString* error)
{
    // Receivers added one by one, as tests add them, are checked here.
    for (const SimReceiver& r : std::as_const(m_Receivers))
        if (!hasProductId(r, error))
            return false;
    // Several emulators, and the finder's own tests, may share the discovery port.
    if (!m_pSocket->bind(QHostAddress::AnyIPv4, SimRecord::Port,
                         QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        *error = m_pSocket->errorString();
        return false;
    }
    m_Controls.fill(nullptr, m_Receivers.size());
    for (int i = 0; i < m_Receivers.size(); ++i) {
        SimReceiver& r = m_Receivers[i];
        if (!r.serveTcp)
            continue;
        SimControlConfig cfg = SimControlConfig::fromJson(r.control);
        cfg.model = r.model();
        cfg.serial = r.serial();
        auto* c = new SimControl(cfg, this);
        if (!c->listen(r.address(), r.tcpPort())) {
            *error = QStringLiteral("%1: cannot listen on %2:%3").arg(r.serial(), r.address().toString()).arg(r.tcpPort());
            return false;
        }
        // Port 0 asks for any free port; the record then tells the finder which one it got.
        put(r.record, 53, 2, c->serverPort());
        m_Controls[i] = c;
    }
    return true;
}

int QuillSim::indexOf(const QString& serial) const
{
    for (int i = 0; i < m_Receivers.size(); ++i)
        if (m_Receivers[i].serial() == serial)
            return i;
    return -1;
}

void QuillSim::ReadDatagrams()
{
    while (m_pSocket->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_pSocket->receiveDatagram();
        const QByteArray data = d.data();
        m_Received.append(data);
        emit datagramReceived(data);
        if (!hasKey(data) || data.size() < kHeaderSize) {
            qInfo("quillsim: ignored %d bytes without key", int(data.size()));
            continue;
        }
        const quint8 type = quint8(data[4]);
        if (type == 0) {
            qInfo("quillsim: discovery request for \"%s\" from %s:%d", qPrintable(requestModel(data)),
                  qPrintable(d.senderAddress().toString()), d.senderPort());
            for (int i = 0; i < m_Receivers.size(); ++i)
                Answer(i, data, d.senderAddress());
        } else if (type == 2) {
            const int i = indexOf(SimRecord::fields(data).value(QStringLiteral("serial")).toString());
            qInfo("quillsim: Set datagram of %d bytes for %s", int(data.size()),
                  i < 0 ? "no emulated receiver" : qPrintable(m_Receivers[i].serial()));
            // Until a delayed adoption, discovery still answers with the old record.
            if (i >= 0 && m_Receivers[i].adoptDelayMs > 0)
                QTimer::singleShot(m_Receivers[i].adoptDelayMs, this, [this, i, data] { Adopt(i, data); });
            else if (i >= 0)
                Adopt(i, data);
        } else {
            qInfo("quillsim: ignored message type %d", type);
        }
    }
}

void QuillSim::Answer(int i, const QByteArray& request, const QHostAddress& to)
{
    const SimReceiver& r = m_Receivers[i];
    if (r.ownModelOnly && requestModel(request) != r.model())
        return;
    QByteArray reply = r.record;
    int size = r.replySize >= 0 ? r.replySize : int(get(r.record, 0, 2));
    switch (r.misbehaviour) {
    case SimReceiver::Polite:
        break;
    case SimReceiver::WrongKey:
        reply[3] = char(0xA4);
        break;
    case SimReceiver::ShortReply:
        size = r.replySize >= 0 ? r.replySize : kDefaultShort;
        break;
    case SimReceiver::Overlong:
        size = r.replySize >= 0 ? r.replySize : kDefaultOverlong;
        break;
    }
    // Past the record the emulator sends a recognisable pattern, so an overrun shows in a test.
    reply = reply.leftJustified(size, char(0xCC), true);
    // The finder listens on its fixed port, whatever port the request came from.
    QTimer::singleShot(r.replyDelayMs, this, [this, reply, to] {
        m_pSocket->writeDatagram(reply, to, SimRecord::ReplyPort);
    });
}

void QuillSim::Adopt(int i, const QByteArray& set)
{
    SimReceiver& r = m_Receivers[i];
    QByteArray rec = r.record;
    rec.replace(0, qMin(set.size(), int(SimRecord::Size)), set.left(SimRecord::Size));
    for (const Field* f : kReadOnly)
        rec.replace(f->offset, f->width, r.record.mid(f->offset, f->width));
    r.record = rec;
    r.lastSet = set;
    ++r.setsAdopted;
    qInfo("quillsim: %s adopted %s", qPrintable(r.serial()),
          QJsonDocument(SimRecord::fields(rec)).toJson(QJsonDocument::Compact).constData());
    // The control port follows the adopted address and port, as on a receiver that restarts its
    // network; a link that was open goes with the old one.
    SimControl* c = control(i);
    if (c && r.tcpPort() != 0 && (r.tcpPort() != c->serverPort() || r.address() != c->serverAddress())) {
        c->close();
        c->listen(r.address(), r.tcpPort());
    }
    emit setAdopted(i);
}
