// The state's text files: a fixed, valid FITS state image with the input as
// its ".meta" sidecar up to the first NUL byte and as its ".stars" cache
// after it. Whatever they hold, the image itself must stay where it is: only
// an unreadable image is set aside.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "FuzzFiles.h"
#include "image/FitsFile.h"
#include "stacking/RunningMean.h"
#include "stacking/StackRecord.h"
#include "stacking/Stacker.h"

namespace {

const PrivateDirectory& directory()
{
    static const PrivateDirectory instance;
    return instance;
}

std::string statePath() { return directory().file("state.fits"); }

void writeState()
{
    auto mean = std::make_shared<FloatImage>(16, 12, 3);
    auto weight = std::make_shared<FloatImage>(16, 12, 1);
    for (std::size_t i = 0; i < mean->size(); ++i)
        mean->data()[i] = float(i % 251);
    weight->fill(3.0f);
    writeFits(statePath(), mean, stackKeywords(StackRecord{true, 90.0, {}}, 3), {FitsExtension{kWeightExtension, weight}});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    writeState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t* end = data + size;
    const std::uint8_t* nul = std::find(data, end, std::uint8_t(0));
    writeBytes(statePath() + ".meta", data, std::size_t(nul - data));
    const std::uint8_t* stars = nul == end ? end : nul + 1;
    writeBytes(statePath() + ".stars", stars, std::size_t(end - stars));
    Stacker stacker;
    stacker.loadState(statePath());
    if (!std::filesystem::exists(statePath())) {
        std::fprintf(stderr, "A valid state image was set aside because of its sidecar or stars file\n");
        std::abort();
    }
    return 0;
}
