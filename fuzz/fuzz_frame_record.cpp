// The state's frame record, as a restarted watch reads it to learn which
// frames are already stacked: any bytes, however mangled the lines, give a
// list and nothing else.

#include <cstddef>
#include <cstdint>

#include "FuzzFiles.h"
#include "app/FrameRecord.h"

namespace {

const PrivateDirectory& directory()
{
    static const PrivateDirectory instance;
    return instance;
}

std::string recordPath() { return directory().file("state.fits.frames.jsonl"); }

}  // namespace

// Qt 5.15's JSON parser keeps some of what it allocates on malformed input
// beyond the call, which libFuzzer's leak check after each input reports
// (the same input leaks nothing at the end of a plain run). Qt is built
// without frame pointers, so the leak's stack ends inside Qt and only its
// module can name it; the parser is all this target reaches in Qt.
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt5Core.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    writeBytes(recordPath(), data, size);
    recordedFrames(recordPath());
    return 0;
}
