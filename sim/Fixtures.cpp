#include "Fixtures.h"

#include <QDir>
#include <QFile>

namespace Fixtures {

QByteArray appImage(int size, quint32 productId, quint8 bank)
{
    QByteArray a(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        a[i] = char(i * 7 + 3);
    for (int i = 0; i < 4 && 0x204 + i < size; ++i)
        a[0x204 + i] = char(productId >> (8 * i));
    if (0x20C < size)
        a[0x20C] = char(bank);
    return a;
}

namespace {
void appendRecord(QByteArray& text, quint8 type, quint16 address, const char* data, int count, const char* eol)
{
    QByteArray body;
    body += char(count);
    body += char(address >> 8);
    body += char(address);
    body += char(type);
    body += QByteArray(data, count);
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum - quint8(c));
    text += ':' + (body + char(sum)).toHex().toUpper() + eol;
}
} // namespace

QByteArray hexFile(const QByteArray& data, quint32 position, int perRecord, const char* eol)
{
    QByteArray text;
    quint32 segment = ~0u;
    for (quint32 i = 0; i < quint32(data.size());) {
        const quint32 adr = HexBase + position + i;
        if (adr >> 16 != segment) {
            segment = adr >> 16;
            const char base[2] = {char(segment >> 8), char(segment)};
            appendRecord(text, 4, 0, base, 2, eol);
        }
        // Records stop at a segment's end: Intel HEX addresses do not carry into the base.
        const int n = int(qMin<quint32>(qMin<quint32>(quint32(perRecord), 0x10000 - (adr & 0xFFFF)), quint32(data.size()) - i));
        appendRecord(text, 0, quint16(adr), data.constData() + i, n, eol);
        i += quint32(n);
    }
    appendRecord(text, 1, 0, nullptr, 0, eol);
    return text;
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

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool writeImageSet(const QString& dir, int appBytes)
{
    const struct {
        const char* model;
        quint32 productId;
    } models[] = {{"Quillrad", Qusd}, {"Quillix", Quiq}};
    bool ok = true;
    for (const auto& m : models) {
        const QString d = dir + QLatin1Char('/') + QLatin1String(m.model);
        ok = QDir().mkpath(d) && ok;
        for (quint8 bank = 0; bank < 2; ++bank) {
            const QByteArray image = appImage(appBytes, m.productId, bank);
            ok = writeFile(d + QStringLiteral("/app%1.bin").arg(bank), image) && ok;
            ok = writeFile(d + QStringLiteral("/app%1.hex").arg(bank), hexFile(image)) && ok;
        }
        for (int cfg = 1; cfg <= 4; ++cfg) {
            const QByteArray name = QStringLiteral("%1_top_%2.ncd;UserID=0xFFFFFFFF").arg(QLatin1String(m.model)).arg(cfg, 2, 10, QLatin1Char('0')).toLatin1() + '\0';
            const QString file = d + QStringLiteral("/%1_cfg%2.bit").arg(QString::fromLatin1(m.model).toLower()).arg(cfg, 2, 10, QLatin1Char('0'));
            ok = writeFile(file, bitFile(name, 48 * 1024 + cfg * 1000)) && ok;
        }
    }
    return ok;
}

} // namespace Fixtures
