#pragma once

#include "FirmwareImage.h"
#include "ImageFile.h"
#include "SdrInterface.h"

/// The six programming items: 0 and 1 application images 0 and 1, 2 to 5 FPGA configurations 1 to 4.
/// The update dialog and quillctl both read and start an item through here.
namespace ProgItem {

constexpr int Count = 6;

/// The items by the names quillctl's --item takes and the update record writes.
inline constexpr const char* Names[Count] = {"app0", "app1", "cfg1", "cfg2", "cfg3", "cfg4"};
/// The name of item `item`, or "?" for none.
inline QString name(int item) { return item >= 0 && item < Count ? QLatin1String(Names[item]) : QStringLiteral("?"); }

/// True for an application image, false for an FPGA configuration.
constexpr bool isApp(int item) { return item < 2; }
/// Application number or configuration number, as the readers and the start calls take it.
constexpr int number(int item) { return isApp(item) ? item : item - 1; }

/// Reads `file` as item `item` for a receiver of `productId`; the reader's result.
[[nodiscard]] inline int read(CFirmwareImage& image, const ImageFile& file, quint32 productId, int item)
{
    return isApp(item) ? image.ReadApp(file, productId, number(item)) : image.ReadCfg(file, productId, number(item));
}

/// The item of this name ("app0" ... "cfg4"), or -1.
inline int byName(const QString& name)
{
    for (int i = 0; i < Count; ++i)
        if (name == QLatin1String(Names[i]))
            return i;
    return -1;
}

/// A reader's result in a few words.
inline QString resultText(int result)
{
    switch (result) {
    case CFirmwareImage::ReadOk:
        return QStringLiteral("read");
    case CFirmwareImage::FileError:
        return QStringLiteral("missing, unreadable, or an application file that is neither .hex nor .bin");
    case CFirmwareImage::ShortRead:
        return QStringLiteral("could not be read whole");
    case CFirmwareImage::Invalid:
        return QStringLiteral("wrong size, product ID, bank or configuration number");
    case CFirmwareImage::HexFormat:
        return QStringLiteral("Intel HEX format error");
    default:
        return QStringLiteral("reader result %1").arg(result);
    }
}

/// Starts programming item `item` from the interface's image.
inline void start(CSdrInterface& sdr, int item)
{
    if (isApp(item))
        sdr.StartAppProg(number(item));
    else
        sdr.StartConfigProg(number(item));
}

} // namespace ProgItem
