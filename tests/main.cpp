#include <QCoreApplication>
#include <gtest/gtest.h>

#include "fits/gslhelpers/GslErrors.h"

// Star extraction waits forever without a Qt application object in the process.
int main(int argc, char** argv)
{
    Mathematics::GSLHelpers::switchOffGslAbort();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
