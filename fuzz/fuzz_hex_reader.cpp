// Feeds arbitrary bytes to the HEX application reader as a ".hex" file.
// Input: one selector byte (product ID, application number 0 to 3, and in bit 7 whether record
// checksums stay as they are or are repaired first), then the file.
#include "ImageFuzz.h"

namespace {
constexpr uint8_t RawChecksums = 0x80;  ///< selector bit: leave record checksums as the input has them
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const ImageFuzz::Params p = ImageFuzz::Select(data[0], 4);
    QByteArray text(reinterpret_cast<const char*>(data + 1), int(size - 1));
    if (!(data[0] & RawChecksums))
        ImageFuzz::FixHexChecksums(text);
    const QString path = ImageFuzz::WriteInput("image.hex", reinterpret_cast<const uint8_t*>(text.constData()), size_t(text.size()));
    ImageFuzz::ReadAppAndCheck(path, p);
    return 0;
}
