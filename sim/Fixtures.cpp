#include "Fixtures.h"
#include "SimControl.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace Fixtures {

QByteArray appImage(int size, quint32 productId, quint8 bank, int version)
{
    if (version < 0)
        version = SimControlConfig().versions[bank ? 5 : 4] + 1;
    QByteArray a(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        a[i] = char(i * 7 + 3);
    for (int i = 0; i < 4 && 0x204 + i < size; ++i)
        a[0x204 + i] = char(productId >> (8 * i));
    for (int i = 0; i < 2 && 0x208 + i < size; ++i)
        a[0x208 + i] = char(version >> (8 * i));
    if (0x20C < size)
        a[0x20C] = char(bank);
    return a;
}

namespace {
// Integers of `bytes` bytes: little-endian as the receivers send them, big-endian as HEX records carry them.
QByteArray le(quint64 value, int bytes)
{
    QByteArray a;
    for (int i = 0; i < bytes; ++i)
        a += char(value >> (8 * i));
    return a;
}
QByteArray be(quint64 value, int bytes)
{
    QByteArray a = le(value, bytes);
    std::reverse(a.begin(), a.end());
    return a;
}
} // namespace

QByteArray hexRecord(quint8 type, quint16 address, const QByteArray& data, const char* eol)
{
    const QByteArray body = char(data.size()) + be(address, 2) + char(type) + data;
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum - quint8(c));
    return ':' + (body + char(sum)).toHex().toUpper() + eol;
}

QByteArray hexFile(const QByteArray& data, quint32 position, int perRecord, const char* eol, bool eof)
{
    QByteArray text;
    quint32 segment = ~0u;
    for (quint32 i = 0; i < quint32(data.size());) {
        const quint32 adr = HexBase + position + i;
        if (adr >> 16 != segment) {
            segment = adr >> 16;
            text += hexRecord(4, 0, be(segment, 2), eol);
        }
        // Records stop at a segment's end: Intel HEX addresses do not carry into the base.
        const int n = int(qMin<quint32>(qMin<quint32>(quint32(perRecord), 0x10000 - (adr & 0xFFFF)), quint32(data.size()) - i));
        text += hexRecord(0, quint16(adr), data.mid(int(i), n), eol);
        i += quint32(n);
    }
    return eof ? text + hexRecord(1, 0, {}, eol) : text;
}

QByteArray designName(const SimModel& model, int number, int version)
{
    if (version < 0)
        version = SimControlConfig().versions[6 + qBound(1, number, 4)] + 1;
    return QStringLiteral("%1_top_%2.ncd;UserID=0x%3")
        .arg(QLatin1String(model.name))
        .arg(number, 2, 10, QLatin1Char('0'))
        .arg(QString::number(version & 0xFF, 16).toUpper(), 8, QLatin1Char('0'))
        .toLatin1();
}

QByteArray bitFile(const QByteArray& field, int size, char key, int length)
{
    QByteArray f = QByteArray::fromHex("00090ff00ff00ff00ff0000001");
    f += key;
    const int n = length < 0 ? field.size() : length;
    f += char(n >> 8);
    f += char(n & 0xFF);
    f += field;
    while (f.size() < size)
        f += char(0xA5);
    return f.left(size);
}

QByteArray record(const QByteArray& model, quint8 opMode, quint16 length, const QHostAddress& ip, quint16 port)
{
    QByteArray r(862, '\0');
    for (int i = 0; i < r.size(); ++i)
        r[i] = char((i * 37 + 11) & 0xFF);
    const auto put = [&r](int off, quint64 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            r[off + i] = char(value >> (8 * i));
    };
    put(0, length | 0x01A55A0000ull, 5);  // Length, Key, MsgType 1
    r.replace(5, model.size() + 1, model + '\0');
    put(37, ip.toIPv4Address(), 4);  // byte 40 is the first octet
    put(53, port, 2);
    r[87] = char(opMode);
    return r;
}

QByteArray record(const QByteArray& model, const QByteArray& serial, quint8 status, quint16 length)
{
    QByteArray r = record(model, 0, length, QHostAddress(QStringLiteral("198.18.0.10")), 50000);
    r.replace(21, 16, serial.leftJustified(16, '\0', true));
    r[86] = char(status);
    return r;
}

QByteArray controlMessage(quint8 type, const QByteArray& body)
{
    return le(quint64(type) << 13 | quint64(body.size() + 2), 2) + body;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool writeImageSet(const QString& dir, int appBytes, int appVersion, int cfgVersion)
{
    bool ok = true;
    for (const SimModel& m : SimModels::All) {
        const QString d = dir + QLatin1Char('/') + QLatin1String(m.name);
        ok = QDir().mkpath(d) && ok;
        for (quint8 bank = 0; bank < 2; ++bank) {
            const QByteArray image = appImage(appBytes, m.productId, bank, appVersion);
            ok = writeFile(d + QStringLiteral("/app%1.bin").arg(bank), image) && ok;
            ok = writeFile(d + QStringLiteral("/app%1.hex").arg(bank), hexFile(image)) && ok;
        }
        for (int cfg = 1; cfg <= 4; ++cfg) {
            const QString file = d + QStringLiteral("/%1_cfg%2.bit").arg(QString::fromLatin1(m.name).toLower()).arg(cfg, 2, 10, QLatin1Char('0'));
            ok = writeFile(file, bitFile(designName(m, cfg, cfgVersion) + '\0', 48 * 1024 + cfg * 1000)) && ok;
        }
    }
    return ok;
}

bool writeFuzzSeeds(const QString& dir)
{
    bool ok = true;
    const auto seed = [&](const char* kind, const QString& name, const QByteArray& content) {
        const QString d = dir + QLatin1Char('/') + QLatin1String(kind);
        ok = QDir().mkpath(d) && writeFile(d + QLatin1Char('/') + name, content) && ok;
    };
    // Image seeds start with the fuzzers' selector byte: the product ID's index among the models and
    // the two IDs behind them that no model has, then the application or configuration number times
    // their count. A product ID no model has takes the first of the two.
    constexpr int models = int(SimModels::All.size());
    const auto sel = [](quint32 productId, int number) {
        int i = 0;
        while (i < models && SimModels::All[i].productId != productId)
            ++i;
        return QByteArray(1, char(i + (models + 2) * number));
    };

    // Records a reader must pass over: start addresses (types 5 and 3) behind the segment base, an
    // extended segment address (type 2) and an empty data record behind the data.
    const auto hexExtras = [](const QByteArray& image, int perRecord = 16, const char* eol = "\n", bool eof = true) {
        QByteArray text = hexFile(image, AppStart, perRecord, eol, false);
        text.insert(text.indexOf('\n') + 1, hexRecord(5, 0, be(HexBase + AppStart, 4), eol) + hexRecord(3, 0, be(0x100, 4), eol));
        text += hexRecord(2, 0, be(0x1000, 2), eol) + hexRecord(0, 0, {}, eol);
        return eof ? text + hexRecord(1, 0, {}, eol) : text;
    };
    for (int p = 0; p < models; ++p) {
        const quint32 id = SimModels::All[p].productId;
        for (int bank = 0; bank < 3; ++bank) {  // bank 2 is no application's
            const QByteArray image = appImage(0x220 + 37 * bank, id, quint8(bank));
            seed("bin", QStringLiteral("p%1b%2").arg(p).arg(bank), sel(id, bank) + image);
            seed("hex", QStringLiteral("p%1b%2").arg(p).arg(bank), sel(id, bank) + hexExtras(image));
        }
    }
    const QByteArray image = appImage(1000, Quiq, 1);
    seed("bin", QStringLiteral("1000"), sel(Quiq, 1) + image);
    seed("hex", QStringLiteral("crlf32"), sel(Quiq, 1) + hexExtras(image, 32, "\r\n"));
    seed("hex", QStringLiteral("noeof"), sel(Quiq, 1) + hexFile(image, AppStart, 8, "\n", false));
    const quint32 top = 0x1FFFF0;  // image position of HEX address 0x081FFFF0, the top page's last 16 bytes
    seed("hex", QStringLiteral("highpage"),
         sel(Qusd, 0) + hexExtras(appImage(0x220, Qusd, 0), 16, "\n", false) + hexFile(QByteArray(8, 0), top));
    // Only the record that carries product ID and bank; smalltop's last byte is four positions below
    // the highest that leaves room for the CRC, so that one changed digit reaches the edge.
    const QByteArray small = hexFile(appImage(0x210, Quiq, 2).mid(0x200), AppStart + 0x200, 16, "\n", false);
    seed("hex", QStringLiteral("small"), sel(Quiq, 2) + small + hexRecord(1, 0));
    seed("hex", QStringLiteral("smalltop"), sel(Quiq, 2) + small + hexFile(QByteArray(4, 0), top, 16, "\n", false));

    // A whole bitstream: preamble, design-name, part, date and time fields, then 256 bytes of
    // configuration data behind the sync word.
    const auto bitstream = [](const QByteArray& design) {
        const auto field = [](char key, const QByteArray& text) { return key + be(text.size() + 1, 2) + text + '\0'; };
        QByteArray data = QByteArray(16, char(0xFF)) + QByteArray::fromHex("aa995566");
        for (int i = 0; i < 256; ++i)
            data += char(i);
        // bitFile cut right behind its design-name field: 13-byte preamble, key, length, name and NUL.
        return bitFile(design + '\0', design.size() + 17) + field('b', "7a35tcsg324") + field('c', "2024/01/31")
               + field('d', "12:00:00") + 'e' + be(data.size(), 4) + data;
    };
    for (int p = 0; p < models; ++p)
        for (int cfg = 1; cfg <= 4; ++cfg)
            seed("bit", QStringLiteral("p%1c%2").arg(p).arg(cfg),
                 sel(SimModels::All[p].productId, cfg) + bitstream(designName(SimModels::All[p], cfg)));
    seed("bit", QStringLiteral("nomodel"), sel(0, 3) + bitstream("top_03.ncd"));
    // Ends inside the part field.
    seed("bit", QStringLiteral("short"), sel(Quiq, 1) + bitstream(SimModels::Quillix.name + QByteArray("_1.ncd")).left(40));

    // Datagram sequences: [length16][bytes]..., a length of 0xFFFF starts a new cycle.
    const auto datagrams = [](std::initializer_list<QByteArray> list) {
        QByteArray s;
        for (const QByteArray& d : list)
            s += le(quint64(d.size()), 2) + d;
        return s;
    };
    const QByteArray a = record(SimModels::Quillrad.name, "AB1234", 1), b = record(SimModels::Quillix.name, "QX7", 0, 800);
    QByteArray wrongKey = a, full;
    wrongKey[3] = char(0xA4);
    for (int i = 0; i < 34; ++i)  // two receivers more than the finder's 32 rows
        full += datagrams({record(SimModels::Quillrad.name, "SN" + QByteArray::number(i).rightJustified(2, '0'), 0).left(56)});
    seed("reply_table", QStringLiteral("two"), datagrams({a, b}));
    seed("reply_table", QStringLiteral("repeat"), datagrams({a, b, a}));
    seed("reply_table", QStringLiteral("other-model"), datagrams({record(SimModels::Quillrad.name + QByteArray(" "), "AB1234", 0), a}));
    seed("reply_table", QStringLiteral("short"), datagrams({a.left(40), a.left(56), a.left(3)}));
    seed("reply_table", QStringLiteral("wrong-key"), datagrams({a, wrongKey}));
    seed("reply_table", QStringLiteral("full"), full);
    seed("reply_table", QStringLiteral("cycles"), datagrams({a, b}) + le(0xFFFF, 2) + datagrams({b}));

    // Control-port streams: [mode][chunk], then what a receiver sends. The fuzzer starts the run
    // half-way, so the connection's information fills the first half and the run's answers the second.
    const auto item = [](quint16 id, const QByteArray& rest, quint8 type = 0) { return controlMessage(type, le(id, 2) + rest); };
    const auto control = [&item](int slot, int code) { return item(0x300, le(quint64(slot), 1) + le(quint64(code), 1)); };
    const auto flash = [&item](int bank, quint32 start) {  // bank, bank size, block size, first position
        return item(0x302, le(quint64(bank), 1) + le(0x200000, 4) + le(1024, 4) + le(start, 4));
    };
    const QByteArray info = item(1, SimModels::Quillrad.name + QByteArray(1, '\0')) + item(9, le(Qusd, 4)) + flash(0, AppStart) + flash(1, 0x80000)
                            + item(4, QByteArray(1, 0) + le(105, 2)) + item(4, QByteArray::fromHex("070003"))
                            + item(2, QByteArray("QR1", 4)) + item(5, QByteArray(1, 0), 1);
    const QByteArray ack = controlMessage(3, le(0, 4));
    const struct {
        const char* name;
        char mode;  // bit 1: start a run half-way; bit 0: a configuration run
        QByteArray run;
    } streams[] = {{"app", 2, control(0, 4) + control(0, 1) + ack.repeated(6) + control(0, 2)},
                   {"cfg", 3, control(0, 5) + control(1, 1) + ack.repeated(3) + control(1, 3)},
                   {"info", 0, {}}};
    for (const auto& s : streams) {
        QByteArray first = info, second = s.run;
        while (first.size() < second.size())
            first += item(5, {});  // status answers, which the client ignores
        while (second.size() < first.size())
            second += item(5, {});
        for (int chunk : {1, 7, 255})
            seed("tcp_framer", QStringLiteral("%1-%2").arg(QLatin1String(s.name)).arg(chunk),
                 QByteArray(1, s.mode) + char(chunk) + first + second);
    }

    // Update records: [blanks lo][blanks hi], that many blanks in front of the first line, then the text.
    // A run as quillctl writes it and one interrupted; then cut, out of place, and at the reader's line
    // bound (64 KiB) and one byte past it.
    const QByteArray id = "0b7e6c2e-5d1a-4f43-9c7e-2a1d3f4b5c6d", versions = R"({"App Firm 0":"1.23","App Firm 1":"1.22",)"
        R"("Boot Version":"1.05","Config 1":"3","Config 2":"3","Config 3":"0","Config 4":"0","HW Version":"2"})";
    const QByteArray start = R"({"event":"start","file":{"path":"/home/op/app0.bin","sha256":")" + QByteArray(64, 'c')
        + R"(","size":20005},"host":"bench","item":"app0","program":"quillctl","receiver":{"address":"198.18.0.2",)"
          R"("mac":"00:04:a3:12:34:56","model":"Quillrad","port":50000,"serial":"QR1"},"run":")" + id
        + R"(","time":"2024-05-01T10:00:00.000Z","user":"op","version":"1.4.0","versionsBefore":)" + versions + "}\n";
    const QByteArray end = R"({"bytesSent":20005,"durationMs":41234,"event":"end","reason":"","result":"done","run":")" + id
        + R"(","time":"2024-05-01T10:00:41.234Z","versionsAfter":)" + QByteArray(versions).replace("1.23", "1.24") + "}\n";
    const QByteArray other = QByteArray(start).replace(id.left(8), "9a1f3c4d");
    const auto records = [&](const char* name, const QByteArray& text, int blanks = 0) { seed("record", QLatin1String(name), le(quint64(blanks), 2) + text); };
    const QByteArray settings = R"({"changes":{"Receive Password":{"after":"********","before":""},"TCP Port":{"after":50001,)"
        R"("before":50000}},"event":"settings","host":"bench","program":"quillctl","receiver":{"serial":"QR1"},"time":"2024-05-01T10:01:00.000Z"})" "\n";
    records("whole", start + settings + end + other);
    records("cut", start + end.left(end.size() - 20) + other + end.left(30));
    records("out-of-place", end + start + start + end + end + "[1]\n{\"run\":\"x\"}\n");
    records("blank-crlf", "\r\n" + QByteArray(start).replace('\n', "\r\n") + "\n \t\n" + end);
    records("bound", start + end, 65536 - (start.size() - 1));
    records("past-bound", start + end + other, 65537 - (start.size() - 1));
    return ok;
}

} // namespace Fixtures
