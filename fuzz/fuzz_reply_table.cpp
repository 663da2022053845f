// Feeds sequences of discovery replies to the finder's reply tables, exactly as the main window
// does with each datagram it reads: cut to a record's size, zeros behind it. Each reply goes to the
// window's table and to one of three rows, where a short input already fills every row.
#include "DiscoveryDatagram.h"
#include "ReplyTable.h"

#include <cstdlib>
#include <cstring>

namespace {
// Like the window's: never cleared between cycles.
Disc::ReplyTable g_Window(Disc::MaxRows);
Disc::ReplyTable g_Small(3);

void offer(Disc::ReplyTable& t, const quint8* buf, int got)
{
    const int before = t.rows;
    const Disc::ReplyTable::Outcome out = t.accept(buf, got);
    if (t.rows < 0 || t.rows > t.capacity())
        std::abort();
    if (out.row >= 0 && out.row != t.rows - 1)
        std::abort();
    // Dropped exactly when a serial number not listed finds every row taken.
    if (out.dropped != (out.row < 0 && Disc::hasKey(buf, got)) || (out.dropped && (before != t.capacity() || out.removedRow >= 0)))
        std::abort();
    if (!Disc::hasKey(buf, got) && (t.rows != before || out.row >= 0 || out.removedRow >= 0))
        std::abort();
    // What AddListEntry reads of the new row, and what a double-click reads of its record.
    if (out.row >= 0) {
        const quint8* h = t.header(out.row);
        (void)Disc::text(h, Disc::ModelName).size();
        (void)Disc::text(h, Disc::SerialNum).size();
        (void)Disc::addressText(h, Disc::OffIPAdr);
        if (Disc::isKnownModel(h))
            (void)Disc::setLength(t.record(out.row));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Input: [length lo][length hi][bytes...] repeated; a length of 0xFFFF starts a new cycle.
    size_t pos = 0;
    quint8 buf[Disc::RecordSize];
    while (pos + 2 <= size) {
        const int length = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        if (length == 0xFFFF) {
            g_Window.rows = 0;
            g_Small.rows = 0;
            continue;
        }
        const int available = int(qMin<size_t>(size_t(length), size - pos));
        const int got = qMin(available, Disc::RecordSize);
        std::memset(buf, 0, sizeof buf);
        std::memcpy(buf, data + pos, size_t(got));
        pos += size_t(available);
        offer(g_Window, buf, got);
        offer(g_Small, buf, got);
    }
    return 0;
}
