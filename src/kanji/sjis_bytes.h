// The byte classes of Shift_JIS (CP932): which bytes start a double-byte
// character and which may follow such a start. Every part of the program
// that walks Shift_JIS text character by character uses these two tests.
#pragma once

// True when the byte can start a double-byte Shift_JIS character.
inline constexpr bool IsSjisLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// True when the byte can be the second byte of a double-byte Shift_JIS
// character (0x40-0xFC except 0x7F).
inline constexpr bool IsSjisTrailByte(unsigned char c)
{
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}
