#pragma once

#include "DiscoveryDatagram.h"

namespace Disc {

/// The finder's two fixed tables: entry i holds the 56-byte header and the 862-byte record of list row i.
/// Entries are never cleared; a new cycle overwrites them from index 0 on.
struct ReplyTable {
    /// What one accepted datagram did to the list.
    struct Outcome {
        int removedRow = -1;  ///< row that an earlier answer of the same serial number held, or -1
        int row = -1;         ///< row appended, or -1 when the datagram was dropped
        bool inUse = false;   ///< the "(In Use) " mark of the appended row
    };

    quint8 header[MaxRows][HeaderSize] = {};
    quint8 record[MaxRows][RecordSize] = {};
    int rows = 0;  ///< rows listed; always equal to the list widget's count

    /// Offers one received datagram. `d` must hold RecordSize readable bytes: the `size` bytes
    /// received, then zeros, so a short datagram never carries stale bytes into its header or record.
    Outcome accept(const quint8* d, int size);
};

} // namespace Disc
