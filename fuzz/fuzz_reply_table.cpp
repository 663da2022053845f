// Feeds sequences of discovery replies to the finder's reply tables, exactly as the main window
// does with each datagram it reads: cut to a record's size, zeros behind it.
#include "DiscoveryDatagram.h"
#include "ReplyTable.h"

#include <cstdlib>
#include <cstring>

namespace {
Disc::ReplyTable g_Table;  // like the window's: never cleared between cycles
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Input: [length lo][length hi][bytes...] repeated; a length of 0xFFFF starts a new cycle.
    size_t pos = 0;
    quint8 buf[Disc::RecordSize];
    while (pos + 2 <= size) {
        const int length = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        if (length == 0xFFFF) {
            g_Table.rows = 0;
            continue;
        }
        const int available = int(qMin<size_t>(size_t(length), size - pos));
        const int got = qMin(available, Disc::RecordSize);
        std::memset(buf, 0, sizeof buf);
        std::memcpy(buf, data + pos, size_t(got));
        pos += size_t(available);

        const int before = g_Table.rows;
        const Disc::ReplyTable::Outcome out = g_Table.accept(buf, got);
        if (g_Table.rows < 0 || g_Table.rows > Disc::MaxRows)
            std::abort();
        if (out.row >= 0 && out.row != g_Table.rows - 1)
            std::abort();
        if (!Disc::hasKey(buf, got) && (g_Table.rows != before || out.row >= 0 || out.removedRow >= 0))
            std::abort();
        // What AddListEntry reads of the new row, and what a double-click reads of its record.
        if (out.row >= 0) {
            const quint8* h = g_Table.header[out.row];
            (void)Disc::text(h, Disc::ModelName).size();
            (void)Disc::text(h, Disc::SerialNum).size();
            (void)Disc::addressText(h, Disc::OffIPAdr);
            if (Disc::isKnownModel(h))
                (void)Disc::setLength(g_Table.record[out.row]);
        }
    }
    return 0;
}
