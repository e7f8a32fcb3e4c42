// The winapi stand-ins are header-only until the registry, shell and GDI
// layers join them; this unit keeps the library target non-empty.
#include "winapi/windows.h"
