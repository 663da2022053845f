#pragma once

#include "DiscoveryDatagram.h"

#include <cstdlib>
#include <memory>

namespace Disc {

/// The finder's reply table: row i holds the 56-byte header and the 862-byte record of list row i.
/// Its capacity is fixed by its owner; rows are never cleared, and a new cycle overwrites them from 0 on.
struct ReplyTable {
    /// What one accepted datagram did to the list.
    struct Outcome {
        int removedRow = -1;   ///< row that an earlier answer of the same serial number held, or -1
        int row = -1;          ///< row appended, or -1 when the datagram was dropped
        bool inUse = false;    ///< the "(In Use) " mark of the appended row
        bool dropped = false;  ///< a serial number not listed found every row taken
    };

    /// A table of `capacity` rows, allocated here once and zeroed by the system: pages that no reply
    /// has reached cost no memory, so a big capacity is cheap until it is used.
    explicit ReplyTable(int capacity);

    int capacity() const { return m_Capacity; }
    /// The 56-byte header of `row`.
    quint8* header(int row) { return m_Header.get() + size_t(row) * HeaderSize; }
    const quint8* header(int row) const { return m_Header.get() + size_t(row) * HeaderSize; }
    /// The 862-byte record of `row`.
    quint8* record(int row) { return m_Record.get() + size_t(row) * RecordSize; }
    const quint8* record(int row) const { return m_Record.get() + size_t(row) * RecordSize; }

    int rows = 0;  ///< rows listed; always equal to the list widget's count

    /// Offers one received datagram. `d` must hold RecordSize readable bytes: the `size` bytes
    /// received, then zeros, so a short datagram never carries stale bytes into its header or record.
    Outcome accept(const quint8* d, int size);

private:
    struct Free {
        void operator()(quint8* p) const { std::free(p); }
    };
    int m_Capacity;
    std::unique_ptr<quint8[], Free> m_Header;
    std::unique_ptr<quint8[], Free> m_Record;
};

} // namespace Disc
