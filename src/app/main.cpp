#include <malloc.h>

#include <QCoreApplication>
#include <QEventLoop>

#include "app/CommandLine.h"
#include "core/Timer.h"
#include "fits/gslhelpers/GslErrors.h"
#include "stacking/Stacker.h"

namespace {

// A run allocates and frees a handful of frame-sized buffers in turn. Kept in
// one heap that is never trimmed, a new buffer takes the pages an earlier one
// gave back instead of faulting in fresh ones, which on a virtual machine
// costs more than the work done on them. Buffers of 8 MB and more (a float
// plane of two million pixels) go straight to the system and back when
// freed, so the peak of a large frame is the set alive at once, not that
// plus whatever the heap once held.
void keepFreedMemoryForReuse()
{
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
}

}  // namespace

int main(int argc, char** argv)
{
    keepFreedMemoryForReuse();
    Mathematics::GSLHelpers::switchOffGslAbort();
    QCoreApplication application(argc, argv);
    Stacker stacker;
    CommandLine commandLine;
    switch (parseCommandLine(argc, argv, stacker, commandLine)) {
    case ParseOutcome::ExitSuccess:
        return 0;
    case ParseOutcome::ExitFailure:
        return 1;
    case ParseOutcome::Run:
        break;
    }
    const int status = runCommandLine(commandLine, stacker);
    if (status != 0)
        return status;
    QEventLoop().processEvents();
    reportTotalTime();
    return 0;
}
