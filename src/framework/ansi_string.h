// AnsiString: the program's byte strings. Text inside NimboChat is Shift_JIS
// (code page 932) bytes held in std::string; double-byte characters are two
// bytes. Conversion to and from Unicode happens only at the Qt boundary.
#pragma once

#include <string>

class QString;

using AnsiString = std::string;

// Shift_JIS (CP932) bytes to Unicode. Never fails: a byte that is not part of
// a valid character becomes U+FFFD, and conversion goes on after it.
QString ToQString(const AnsiString& text);

// Unicode to Shift_JIS (CP932) bytes. A character that CP932 cannot hold
// becomes "?".
AnsiString FromQString(const QString& text);

// Locale-independent ASCII helpers used by the protocol code.
AnsiString AnsiUpperAscii(AnsiString text);

// Lower-cases A-Z only and leaves the bytes of double-byte characters alone.
AnsiString AnsiLowerCase(AnsiString text);

// True when the byte can start a double-byte Shift_JIS character.
inline bool IsSjisLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// A Shift_JIS string from a UTF-8 literal in the source, for the program's
// Japanese texts: Sjis("エラー").
AnsiString Sjis(const char* Utf8);
