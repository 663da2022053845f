#pragma once

#include "ReceiverModel.h"

#include <QString>
#include <array>

/// Seven image file paths per model, in the blocks the model table gives, and the last programming item.
/// A small value type: every hand-over (main window, settings dialog, update dialog) copies it whole.
struct ImagePathSet {
    static constexpr int PerModel = 7;  ///< paths per model: Config1..4, App0..2
    static constexpr int Count = PerModel * Models::Count;
    /// Offset inside one model's seven paths.
    enum ModelSlot { Config1, Config2, Config3, Config4, App0, App1, App2 };

    std::array<QString, Count> paths;
    int progItem = 0;  ///< 0,1 application images; 2..5 configurations 1..4

    /// First index of a model's seven paths.
    static constexpr int base(const ReceiverModel& m) { return m.pathBlock * PerModel; }
    /// Index of one of a model's paths.
    static constexpr int index(const ReceiverModel& m, ModelSlot slot) { return base(m) + slot; }
    /// The model whose block holds path `i`.
    static const ReceiverModel& modelOf(int i);
    /// Settings key of path `i`, such as "Config1PathIQ".
    static QString key(int i);

    bool operator==(const ImagePathSet& o) const { return paths == o.paths && progItem == o.progItem; }
    bool operator!=(const ImagePathSet& o) const { return !(*this == o); }
};
