// AnsiString: the program's byte strings. Text inside NimboChat is Shift_JIS
// (code page 932) bytes held in std::string; double-byte characters are two
// bytes. Conversion to and from Unicode happens only at the Qt boundary.
#pragma once

#include <string>

class QString;

using AnsiString = std::string;

// Shift_JIS (CP932) bytes to Unicode and back. For every byte string s,
// FromQString(ToQString(s)) == s: a text shown in a control and not edited
// comes back byte for byte, whatever it holds.
//   - A character whose bytes decode and encode back to the same bytes
//     becomes that character (control bytes included).
//   - Every other byte (a byte that is not Shift_JIS, a lone lead byte, the
//     bytes of a character that CP932 would give back as other bytes)
//     becomes the byte code point ByteCodePoints + byte, which a font shows
//     as a box. Such a code point converts back to its byte.
QString ToQString(const AnsiString& text);
// The length of ToQString(text) in UTF-16 units, worked out without making
// the QString.
size_t Utf16Length(const AnsiString& text);

// A character typed that CP932 cannot hold becomes "?"; one that CP932 holds
// only one way becomes those bytes (U+301C WAVE DASH becomes 0x8160, which
// reads back as U+FF5E). Lone surrogates and characters outside the BMP
// become "?".
AnsiString FromQString(const QString& text);

// The private-use code points U+F700 to U+F7FF stand for single bytes.
inline constexpr char16_t ByteCodePoints = 0xF700;

inline bool IsByteCodePoint(char16_t c)
{
    return c >= ByteCodePoints && c <= ByteCodePoints + 0xFF;
}

// File names, for the controls and calls that hold a path. Shift_JIS cannot
// hold every name (josé, or ツール〜 with U+301C WAVE DASH). A name that
// Shift_JIS holds exactly is its Shift_JIS bytes, as before; any other is
// Utf8FileNameMark followed by its UTF-8. The mark (a UTF-8 byte-order mark)
// never begins a Shift_JIS text, since 0xEF 0xBB is no CP932 character.
// For every byte string s, FileNameFromQString(FileNameToQString(s)) == s.
inline constexpr const char* Utf8FileNameMark = "\xEF\xBB\xBF";
AnsiString FileNameFromQString(const QString& text);
QString FileNameToQString(const AnsiString& name);
// True when name is in the marked UTF-8 form.
bool IsUtf8FileName(const AnsiString& name);

// Locale-independent ASCII helpers used by the protocol code.
AnsiString AnsiUpperAscii(AnsiString text);

// Lower-cases A-Z only and leaves the bytes of double-byte characters alone.
AnsiString AnsiLowerCase(AnsiString text);

// A Shift_JIS string from a UTF-8 literal in the source, for the program's
// Japanese texts: Sjis("エラー").
AnsiString Sjis(const char* Utf8);
