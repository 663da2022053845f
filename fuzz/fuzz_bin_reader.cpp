// Feeds arbitrary bytes to the BIN application reader as a ".bin" file.
// Input: one selector byte (product ID, application number 0 to 3), then the file.
#include "ImageFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const ImageFuzz::Params p = ImageFuzz::Select(data[0], 4);
    const QString path = ImageFuzz::WriteInput("image.bin", data + 1, size - 1);
    ImageFuzz::ReadAppAndCheck(path, p);
    return 0;
}
