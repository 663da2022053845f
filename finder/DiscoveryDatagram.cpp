#include "DiscoveryDatagram.h"

#include "ReceiverModel.h"

#include <cstring>

namespace Disc {

void buildRequest(quint8* request, const char* model)
{
    std::memset(request, 0, HeaderSize);
    setU16(request, OffLength, HeaderSize);
    request[OffKey] = Key0;
    request[OffKey + 1] = Key1;
    request[OffMsgType] = MsgTypeRequest;
    // No terminator: the zero bytes behind the name end it.
    std::memcpy(request + ModelName.offset, model, qMin<size_t>(std::strlen(model), ModelName.width - 1));
}

void setRequestModel(quint8* request, const char* model)
{
    const size_t n = qMin<size_t>(std::strlen(model), ModelName.width - 1);
    std::memcpy(request + ModelName.offset, model, n);
    request[ModelName.offset + n] = 0;
}

bool hasKey(const quint8* d, int size)
{
    return size >= OffKey + 2 && d[OffKey] == Key0 && d[OffKey + 1] == Key1;
}

int textLength(const quint8* d, TextField f)
{
    const void* end = std::memchr(d + f.offset, 0, f.width);
    return end ? int(static_cast<const quint8*>(end) - (d + f.offset)) : f.width;
}

QString text(const quint8* d, TextField f)
{
    return QString::fromLatin1(reinterpret_cast<const char*>(d + f.offset), textLength(d, f));
}

void setText(quint8* d, TextField f, const QString& s)
{
    const QByteArray bytes = s.left(f.width - 1).toLatin1();
    std::memcpy(d + f.offset, bytes.constData(), size_t(bytes.size()));
    d[f.offset + bytes.size()] = 0;
}

bool sameText(const quint8* a, const quint8* b, TextField f)
{
    const int n = textLength(a, f);
    return n == textLength(b, f) && std::memcmp(a + f.offset, b + f.offset, size_t(n)) == 0;
}

bool isKnownModel(const quint8* header) { return Models::byHeader(header) != nullptr; }

bool isInUse(const quint8* record) { return (record[OffStatus] & StatusInUseMask) != 0; }

QString addressText(const quint8* d, int off)
{
    return QStringLiteral("%1.%2.%3.%4").arg(d[off + 3]).arg(d[off + 2]).arg(d[off + 1]).arg(d[off]);
}

QString macText(const quint8* record)
{
    QString s;
    for (int i = MacLength - 1; i >= 0; --i) {
        s += QStringLiteral("%1").arg(record[OffMacAdr + i], 2, 16, QLatin1Char('0'));
        if (i)
            s += QLatin1Char(':');
    }
    return s;
}

QString versionText(quint16 hundredths) { return QString::number(hundredths / 100.0, 'g', 6); }

int setLength(const quint8* record) { return qMin<int>(u16(record, OffLength), RecordSize); }

int makeSet(quint8* record)
{
    record[OffMsgType] = MsgTypeSet;
    return setLength(record);
}

} // namespace Disc
