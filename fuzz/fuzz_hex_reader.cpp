// Feeds arbitrary bytes to the HEX application reader as a ".hex" file.
// Input: one selector byte (product ID, application number 0 to 3), then the file.
#include "ImageFuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ImageFuzz::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // One image for the whole run, as the update dialog reuses one for every file.
    static CFirmwareImage image;
    const ImageFuzz::Params p = ImageFuzz::Select(data[0], 4);
    const QString path = ImageFuzz::WriteInput("image.hex", data + 1, size - 1);
    if (image.ReadAppFile(path, p.productId, p.number) == CFirmwareImage::ReadOk) {
        if (image.BankNumber() != quint32(p.number))
            abort();
        ImageFuzz::CheckStamp(image);
        ImageFuzz::TouchRun(image);
    }
    return 0;
}
