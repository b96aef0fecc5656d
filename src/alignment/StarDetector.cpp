#include "alignment/StarDetector.h"

#include <stdexcept>

#include "core/Logger.h"

bool StarDetector::fail(const std::string& message)
{
    lastError_ = message;
    logError(message);
    return false;
}

void StarDetector::raise(const std::string& message)
{
    fail(message);
    throw std::runtime_error(message);
}
