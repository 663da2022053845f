#include "ReplyTable.h"

#include <cstring>
#include <new>

namespace Disc {

namespace {
quint8* zeroedRows(int capacity, int rowSize)
{
    // One row at least, so that a table of none still owns memory and drops every reply.
    auto* p = static_cast<quint8*>(std::calloc(size_t(qMax(capacity, 1)), size_t(rowSize)));
    if (!p)
        throw std::bad_alloc();
    return p;
}
} // namespace

ReplyTable::ReplyTable(int capacity)
    : m_Capacity(capacity)
    , m_Header(zeroedRows(capacity, HeaderSize))
    , m_Record(zeroedRows(capacity, RecordSize))
{
}

ReplyTable::Outcome ReplyTable::accept(const quint8* d, int size)
{
    Outcome out;
    if (!hasKey(d, size))
        return out;

    // A receiver that answers twice keeps one row, moved to the end.
    for (int i = 0; i < rows; ++i) {
        if (sameText(header(i), d, SerialNum)) {
            const size_t behind = size_t(rows - i - 1);
            std::memmove(header(i), header(i + 1), behind * HeaderSize);
            std::memmove(record(i), record(i + 1), behind * RecordSize);
            --rows;
            out.removedRow = i;
            break;
        }
    }
    if (rows == m_Capacity) {
        out.dropped = true;
        return out;
    }

    const int k = rows;
    std::memcpy(header(k), d, HeaderSize);
    if (isKnownModel(d)) {
        // A short record leaves zeros behind its end, never an earlier receiver's passwords or names,
        // which a Set made from this slot would otherwise broadcast as this receiver's.
        std::memcpy(record(k), d, RecordSize);
        out.inUse = isInUse(d);
    }
    ++rows;
    out.row = k;
    return out;
}

} // namespace Disc
