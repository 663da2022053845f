#pragma once

#include <QString>
#include <QStringList>

#include <array>

/// One receiver model as the emulator knows it. The emulator keeps this list of its own, apart
/// from the program's model table, so that a wrong value in either shows as a failing test.
struct SimModel {
    const char* name;   ///< as its records and control port report it; also names its image folder
                        ///< and begins its bitstreams' design names, where the readers look for it
    quint32 productId;  ///< four ASCII characters, the first in the lowest byte
};

/// The models whose receivers the emulator serves without being told their product ID.
namespace SimModels {

inline constexpr SimModel Quillrad = {"Quillrad", 0x44535551};  ///< "QUSD"
inline constexpr SimModel Quillix = {"Quillix", 0x51495551};    ///< "QUIQ"

/// Every model, in the order of the program's discovery requests; inline, so one object program-wide.
inline constexpr std::array<SimModel, 2> All = {{Quillrad, Quillix}};

/// The model of this name, compared whole and case-sensitive, or nullptr.
inline const SimModel* byName(const QString& name)
{
    for (const SimModel& m : All)
        if (name == QLatin1String(m.name))
            return &m;
    return nullptr;
}

/// The models' names joined by `separator`, each between `quote`s, for help texts.
inline QString names(const QString& separator, const QString& quote = {})
{
    QStringList list;
    for (const SimModel& m : All)
        list << quote + QLatin1String(m.name) + quote;
    return list.join(separator);
}

} // namespace SimModels
