// FILETIME: a point in time as 100-nanosecond units since 1601-01-01 UTC,
// split into two 32-bit halves, as stored in the support library's pack files.
#pragma once

#include "winapi/windows.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
