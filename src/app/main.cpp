#include <QCoreApplication>
#include <QEventLoop>

#include "app/CommandLine.h"
#include "core/Timer.h"
#include "fits/gslhelpers/GslErrors.h"
#include "stacking/Stacker.h"

int main(int argc, char** argv)
{
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
