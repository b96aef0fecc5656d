#pragma once

#include <string>

namespace Mathematics::GSLHelpers {

// GSL's default error handler aborts the process. Once this has run (at the
// start of every program that links the engine), GSL functions return their
// status instead, and callers turn a failure into an exception with the two
// checks below.
void switchOffGslAbort();

// Throws std::runtime_error "OPERATION failed: " + GSL's text for the status,
// unless it is GSL_SUCCESS.
void requireGslSuccess(int status, const std::string& operation);

// Throws std::runtime_error "Could not allocate " + what when GSL handed back
// null for an allocation.
void requireGslAllocated(const void* object, const std::string& what);

}  // namespace Mathematics::GSLHelpers
