#pragma once

#include <QString>

#include <array>

/// One receiver model: everything the program knows that differs between models.
struct ReceiverModel {
    const char* name;        ///< as the receiver reports it; compared whole and case-sensitive
    quint32 productId;       ///< four ASCII characters, the first in the lowest byte
    const char* keySuffix;   ///< ends the settings keys of the model's image paths
    const char* pathFolder;  ///< default folder of its image files, beside the executable
    bool hasRfRange;         ///< its record's RF range fields apply and are shown
    int pathBlock;           ///< position of its paths in the image path set

    /// A model is its product ID: two records of one model compare equal wherever their rows came from.
    constexpr bool operator==(const ReceiverModel& other) const { return productId == other.productId; }
    constexpr bool operator!=(const ReceiverModel& other) const { return !(*this == other); }
};

/// The model table; every other file asks it about models.
namespace Models {

constexpr int Count = 2;

/// In the order of the discovery requests. Inline: one object for the whole program, whichever file
/// takes a model's address.
inline constexpr std::array<ReceiverModel, Count> All = {{
    {"Quillrad", 0x44535551 /* QUSD */, "SDR", "Quillrad", false, 1},
    {"Quillix", 0x51495551 /* QUIQ */, "IQ", "Quillix", true, 0},
}};

/// The model whose name a discovery header carries, or nullptr.
const ReceiverModel* byHeader(const quint8* header);
/// The model with this product ID, or nullptr.
const ReceiverModel* byProductId(quint32 productId);
/// The model a person or a release file names, in any case of letters, or nullptr. A receiver's own
/// header is matched by byHeader(), whole and case-sensitive.
const ReceiverModel* byName(const QString& name);
/// The model of a header; a header of no known model is taken for the first model.
const ReceiverModel& ofHeader(const quint8* header);
/// The models' names joined by `separator`, for messages and help texts.
QString names(const QString& separator);

} // namespace Models
