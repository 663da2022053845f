#include "ImagePathSet.h"

namespace {
const char* const SlotKeys[ImagePathSet::PerModel] = {"Config1Path", "Config2Path", "Config3Path", "Config4Path",
                                                      "App0Path", "App1Path", "App2Path"};
} // namespace

const ReceiverModel& ImagePathSet::modelOf(int i)
{
    for (const ReceiverModel& m : Models::All)
        if (i / PerModel == m.pathBlock)
            return m;
    return Models::All[0];
}

QString ImagePathSet::key(int i)
{
    return QLatin1String(SlotKeys[i % PerModel]) + QLatin1String(modelOf(i).keySuffix);
}
