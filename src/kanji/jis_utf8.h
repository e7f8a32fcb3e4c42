// Lines between UTF-8, as today's chat clients speak it, and JIS
// (ISO-2022-JP), as the Japanese channels speak it. The mapping between JIS
// X 0208 and Unicode is built once, on first use, from the C library's
// EUC-JP and CP932 converters (iconv), and never changes after.
//
// Both directions guarantee:
// - They never throw and never read past the end of Text.
// - Nothing is dropped: a character that cannot be written in the output
//   code becomes 〓 (JIS 0x222E, U+3013) and is counted in Replaced.
// - ASCII stays byte for byte what it was, control bytes included.
// - Text is read, never copied, and may be Result itself.
#pragma once

#include <string>

using AnsiString = std::string;

// A line of the chat client, in UTF-8, as JIS: JIS X 0208 characters in
// ESC $ B runs closed by ESC ( B before any ASCII and at the end; half-width
// katakana as their full-width forms (a following sound mark joined where
// the voiced form exists); both Unicode forms of the signs that Windows maps
// differently (〜 and ～, − and －, ...). A text that is not valid UTF-8 is
// taken as Shift_JIS or EUC-JP and converted by detection, like a legacy
// client's line. Returns Result.
const AnsiString& Utf8ToJis(AnsiString& Result, const AnsiString& Text, int& Replaced);

// A line of the server as UTF-8. A line that is valid UTF-8 and holds no
// ESC is the answer itself, and Text is returned without a copy. Any other
// line is detected as JIS, Shift_JIS or EUC-JP, and its characters written
// in UTF-8: JIS X 0208 with the standard mapping (〜 is U+301C), the NEC
// signs of row 13 (①) as CP932 has them, half-width katakana in an ESC ( I
// run as U+FF61-U+FF9F. Returns Result, or Text when it is unchanged.
const AnsiString& JapaneseToUtf8(AnsiString& Result, const AnsiString& Text, int& Replaced);

// A line as the log shows it, in Shift_JIS: JIS (and ASCII) converted as
// KanjiConvert does from JIS. A line that holds no ESC and is UTF-8 with
// bytes above ASCII, as a client sends characters JIS has no room for, is
// read as UTF-8: its characters in Shift_JIS, half-width katakana as their
// full-width forms, those Shift_JIS cannot hold as 〓. Returns Result.
const AnsiString& LogLineToShiftJis(AnsiString& Result, const AnsiString& Line);

// True when no byte of Text is above 0x7F.
bool IsAscii(const AnsiString& Text);

// True when Text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). ASCII is UTF-8.
bool IsUtf8(const AnsiString& Text);
