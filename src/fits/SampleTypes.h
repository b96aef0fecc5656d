#pragma once

#include <cstdint>

#include <fitsio.h>

// Calls f with a value of the sample type of a CFITSIO data type code, one
// of the eight an image buffer can hold; false, calling nothing, for any
// other code.
template <typename F>
bool forDataType(int dataType, F&& f)
{
    switch (dataType) {
    case TBYTE: f(uint8_t{}); return true;
    case TSHORT: f(int16_t{}); return true;
    case TUSHORT: f(uint16_t{}); return true;
    case TLONG: f(int32_t{}); return true;
    case TULONG: f(uint32_t{}); return true;
    case TFLOAT: f(float{}); return true;
    case TLONGLONG: f(int64_t{}); return true;
    case TDOUBLE: f(double{}); return true;
    default: return false;
    }
}

// The type code to hand CFITSIO's read and write calls for a buffer of this
// data type. The buffer's TLONG and TULONG samples are 32-bit, as in
// StellarSolver's statistics record, but CFITSIO's TLONG is a C long, which
// is 64-bit on this platform: 32-bit samples go through TINT and TUINT.
inline int cfitsioIoType(int dataType)
{
    if (dataType == TLONG)
        return TINT;
    return dataType == TULONG ? TUINT : dataType;
}
