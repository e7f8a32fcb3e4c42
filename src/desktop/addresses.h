// The address arithmetic of the address boxes, apart from the window.
#pragma once

#include "framework/ansi_string.h"

// The decimal form of a dotted IPv4 address (a*2^24 + b*2^16 + c*2^8 + d,
// modulo 2^32, so parts above 255 or below 0 spill over), or "0" for any
// text that is no address. Each part is decimal with an optional sign
// (within the signed 32-bit range) or hexadecimal after "$", "x" or "0x"
// (up to 32 bits); blanks may stand before a part, nothing after it.
AnsiString AddressToDecimal(const AnsiString& Text);
