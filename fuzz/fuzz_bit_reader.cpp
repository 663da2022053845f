// Feeds arbitrary bytes to the FPGA bitstream reader as a ".bit" file.
// Input: one selector byte (product ID, configuration number 0 to 5, so 0 and 5 are out of range), then the file.
#include "ImageFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // One image for the whole run, as the update dialog reuses one for every file.
    static CFirmwareImage image;
    const ImageFuzz::Params p = ImageFuzz::Select(data[0], 6);
    const QString path = ImageFuzz::WriteInput("image.bit", data + 1, size - 1);
    if (image.ReadCfgFile(path, p.productId, p.number) == CFirmwareImage::ReadOk) {
        if (p.number < 1 || p.number > 4 || image.BankNumber() != quint32(p.number))
            abort();
        ImageFuzz::TouchRun(image);
    }
    return 0;
}
