// The Japanese text code converter: whole texts between JIS (the 7-bit
// ISO-2022-JP form used on IRC), Shift_JIS and EUC-JP, with detection of the
// input code. Depends on the standard library alone and keeps no state
// between calls.
//
// KanjiConvert guarantees:
// - It never throws. If its work memory cannot be had, the error goes to the
//   handler set with SetKanjiErrorHandler and the result is empty.
// - Nothing of the input is ever dropped: the output is sized for the worst
//   case (a step reads at least one byte and writes at most five).
// - Malformed input never fails: bytes that fit no rule are copied, an escape
//   or lead byte cut off by the end is copied, and an unclosed JIS run lasts
//   to the end of the text.
// - A NUL byte ends the input, and the result ends at its first NUL byte.
// - No closing escape is added at the end of the text, whatever the state.
// - JIS output has one escape each way: ESC $ B in (also for ESC $ @ input),
//   ESC ( B out (also for ESC ( J input). With any other output code the
//   recognised escapes are consumed and not written.
// - Line ends (CR LF, a lone CR, a lone LF) outside a JIS run are written as
//   CR LF when the low 8 bits of CrLf are nonzero, else as LF.
#pragma once

#include <exception>
#include <string>

using AnsiString = std::string;

constexpr int kcDetect = 0;   // input only: detect JIS, Shift_JIS or EUC from the text
constexpr int kcJis = 1;
constexpr int kcShiftJis = 2;
constexpr int kcEuc = 3;

// Converts Text into Result and returns Result. Text is read, never copied,
// and may be Result itself.
const AnsiString& KanjiConvert(AnsiString& Result, const AnsiString& Text, int InCode, int OutCode, int CrLf);

// The same conversion by the general rules alone, one step at a time.
// KanjiConvert takes JIS to Shift_JIS, the direction of every received
// line, through a faster loop of its own with the same output; this is what
// that loop is compared with.
const AnsiString& KanjiConvertStepwise(AnsiString& Result, const AnsiString& Text, int InCode, int OutCode, int CrLf);

// Receives the "MEMORY ERROR" failure of KanjiConvert; the program shows it
// in its standard exception display. Without a handler it is ignored.
using KanjiErrorHandler = void (*)(const std::exception& Error);
void SetKanjiErrorHandler(KanjiErrorHandler Handler);

// Two-byte conversions: first byte in the high 8 bits. Pure arithmetic,
// modulo 256 per byte; any input gives some result.
unsigned short SjisToJis(unsigned short Code);
unsigned short JisToSjis(unsigned short Code);
unsigned short JisToEuc(unsigned short Code);
unsigned short EucToJis(unsigned short Code);
unsigned short SjisToEuc(unsigned short Code);
unsigned short EucToSjis(unsigned short Code);

// Full-width JIS X 0208 code of a half-width katakana byte 0xA0-0xDF; 0 for
// any other byte.
unsigned short KanaToJis(unsigned char Byte);

extern const unsigned short KanaToJisTable[64];
