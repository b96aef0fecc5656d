#include "alignment/StarDetector.h"

#include "app/Logger.h"

bool StarDetector::fail(const std::string& message)
{
    lastError_ = message;
    logError(message);
    return false;
}
