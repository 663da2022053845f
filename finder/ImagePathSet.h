#pragma once

#include <QString>
#include <array>

/// The fourteen per-model image file paths and the last programming item.
/// A small value type: every hand-over (main window, settings dialog, update dialog) copies it whole.
struct ImagePathSet {
    /// Index of a path in the fixed order in which it is stored and handed over.
    enum Index {
        Config1IQ, Config2IQ, Config3IQ, Config4IQ, App0IQ, App1IQ, App2IQ,
        Config1SDR, Config2SDR, Config3SDR, Config4SDR, App0SDR, App1SDR, App2SDR,
        Count
    };
    static constexpr int PerModel = 7;  ///< paths per model: Config1..4, App0..2
    /// Offset inside one model's seven paths.
    enum ModelSlot { Config1, Config2, Config3, Config4, App0, App1, App2 };

    std::array<QString, Count> paths;
    int progItem = 0;  ///< 0,1 application images; 2..5 configurations 1..4

    /// Settings key of each path, in the fixed order.
    static const char* const keys[Count];

    /// First index of a model's seven paths: the Quillix (IQ) block or the Quillrad (SDR) block.
    static constexpr int modelBase(bool quillix) { return quillix ? Config1IQ : Config1SDR; }

    bool operator==(const ImagePathSet& o) const { return paths == o.paths && progItem == o.progItem; }
    bool operator!=(const ImagePathSet& o) const { return !(*this == o); }
};
