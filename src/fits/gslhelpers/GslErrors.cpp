#include "fits/gslhelpers/GslErrors.h"

#include <stdexcept>

#include <gsl/gsl_errno.h>

namespace Mathematics::GSLHelpers {

void switchOffGslAbort() { gsl_set_error_handler_off(); }

void requireGslSuccess(int status, const std::string& operation)
{
    if (status != GSL_SUCCESS)
        throw std::runtime_error(operation + " failed: " + gsl_strerror(status));
}

void requireGslAllocated(const void* object, const std::string& what)
{
    if (!object)
        throw std::runtime_error("Could not allocate " + what);
}

}  // namespace Mathematics::GSLHelpers
