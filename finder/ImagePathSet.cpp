#include "ImagePathSet.h"

const char* const ImagePathSet::keys[ImagePathSet::Count] = {
    "Config1PathIQ", "Config2PathIQ", "Config3PathIQ", "Config4PathIQ",
    "App0PathIQ", "App1PathIQ", "App2PathIQ",
    "Config1PathSDR", "Config2PathSDR", "Config3PathSDR", "Config4PathSDR",
    "App0PathSDR", "App1PathSDR", "App2PathSDR",
};
