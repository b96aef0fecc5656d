#include "stacking/ImageStacker.h"

// Registration comes later; until then every frame is stacked as it is,
// through the same unaligned-copy path that a failed alignment takes.
ByteImagePtr ImageStacker::alignFrame(const ByteImagePtr& frame)
{
    if (!settings_->alignFrames)
        return frame;
    return frame->clone();
}
