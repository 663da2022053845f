#include "ReceiverModel.h"

#include "DiscoveryDatagram.h"

#include <QStringList>

#include <cstring>

namespace Models {

const ReceiverModel* byHeader(const quint8* header)
{
    const int n = Disc::textLength(header, Disc::ModelName);
    for (const ReceiverModel& m : All)
        if (size_t(n) == std::strlen(m.name) && std::memcmp(header + Disc::ModelName.offset, m.name, size_t(n)) == 0)
            return &m;
    return nullptr;
}

const ReceiverModel* byProductId(quint32 productId)
{
    for (const ReceiverModel& m : All)
        if (m.productId == productId)
            return &m;
    return nullptr;
}

const ReceiverModel* byName(const QString& name)
{
    for (const ReceiverModel& m : All)
        if (name.compare(QLatin1String(m.name), Qt::CaseInsensitive) == 0)
            return &m;
    return nullptr;
}

const ReceiverModel& ofHeader(const quint8* header)
{
    const ReceiverModel* m = byHeader(header);
    return m ? *m : All[0];
}

QString names(const QString& separator)
{
    QStringList list;
    for (const ReceiverModel& m : All)
        list << QLatin1String(m.name);
    return list.join(separator);
}

} // namespace Models
