#include "kanji/jis_utf8.h"

#include "kanji/jis_writer.h"
#include "kanji/kanji_convert.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr char ESC = '\x1B';
constexpr unsigned short Geta = 0x222E; // 〓 in JIS X 0208
constexpr char32_t GetaUnicode = 0x3013;
constexpr int Rows = 94;

int CellIndex(unsigned short jis)
{
    return ((jis >> 8) - 0x21) * Rows + ((jis & 0xFF) - 0x21);
}

// The JIS X 0208 code of a cell index, first byte in the high 8 bits.
unsigned short CellCode(int index)
{
    return static_cast<unsigned short>(((index / Rows + 0x21) << 8) | (index % Rows + 0x21));
}

// One character of a legacy code as a Unicode scalar, 0 when the converter
// has none for it.
char32_t Decode(iconv_t cd, unsigned short code)
{
    char in[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    unsigned char out[8] = {};
    char* inp = in;
    char* outp = reinterpret_cast<char*>(out);
    size_t inLeft = 2, outLeft = sizeof out;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 || outLeft != 4)
        return 0;
    return out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
}

// Writes c as UTF-8 at To; returns the end of what it wrote (1 to 4 bytes).
char* PutUtf8(char* To, char32_t c)
{
    if (c < 0x80) {
        *To++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *To++ = static_cast<char>(0xC0 | (c >> 6));
        *To++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *To++ = static_cast<char>(0xE0 | (c >> 12));
        *To++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *To++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *To++ = static_cast<char>(0xF0 | (c >> 18));
        *To++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *To++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *To++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return To;
}

// Both directions of the JIS X 0208 mapping. EUC-JP gives the standard
// mapping; CP932 fills the cells EUC-JP leaves empty (the NEC signs of row
// 13, the NEC-selected IBM kanji) and adds its own Unicode forms of the signs
// Windows maps differently, so a Windows user's ～ reads as 〜.
struct JisUnicode {
    // A cell's character in UTF-8, the geta mark for a cell without one.
    struct Utf8Form {
        char Bytes[4];
        unsigned char Length;
    };
    std::array<char32_t, Rows * Rows> ToUnicode{};
    std::array<Utf8Form, Rows * Rows> ToUtf8{};
    std::vector<unsigned short> FromUnicode = std::vector<unsigned short>(0x10000, 0);

    JisUnicode()
    {
        iconv_t euc = iconv_open("UTF-32LE", "EUC-JP");
        iconv_t cp932 = iconv_open("UTF-32LE", "CP932");
        for (int i = 0; i < Rows * Rows; ++i) {
            unsigned short jis = CellCode(i);
            char32_t standard = euc == iconv_t(-1) ? 0 : Decode(euc, JisToEuc(jis));
            char32_t windows = cp932 == iconv_t(-1) ? 0 : Decode(cp932, JisToSjis(jis));
            ToUnicode[i] = standard ? standard : windows;
            Utf8Form& form = ToUtf8[i];
            form.Length = static_cast<unsigned char>(PutUtf8(form.Bytes, ToUnicode[i] ? ToUnicode[i] : GetaUnicode) - form.Bytes);
            Learn(standard, jis);
            Learn(windows, jis);
        }
        if (euc != iconv_t(-1))
            iconv_close(euc);
        if (cp932 != iconv_t(-1))
            iconv_close(cp932);
    }

    // The first code found for a character stays its code.
    void Learn(char32_t c, unsigned short jis)
    {
        if (c != 0 && c < FromUnicode.size() && FromUnicode[c] == 0)
            FromUnicode[c] = jis;
    }

    unsigned short Jis(char32_t c) const { return c < FromUnicode.size() ? FromUnicode[c] : 0; }
};

const JisUnicode& Tables()
{
    static const JisUnicode tables;
    return tables;
}

// Reads one UTF-8 sequence at Text[At], moving At past it. False for a
// malformed, overlong, surrogate or out-of-range sequence, At unchanged.
bool NextScalar(const AnsiString& Text, size_t& At, char32_t& Scalar)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(Text[i]); };
    unsigned char lead = byte(At);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || At + length > Text.size())
        return false;
    static constexpr char32_t LeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t c = lead & LeadMask[length];
    for (int k = 1; k < length; ++k) {
        if ((byte(At + k) & 0xC0) != 0x80)
            return false;
        c = (c << 6) | (byte(At + k) & 0x3F);
    }
    if (c < Smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    At += length;
    Scalar = c;
    return true;
}

constexpr char32_t HalfKanaFirst = 0xFF61, HalfKanaLast = 0xFF9F;
constexpr char32_t VoicedMark = 0xFF9E, SemiVoicedMark = 0xFF9F;

// The full-width katakana that take the semi-voiced mark (ハ-ホ) and the
// voiced mark (those, ウ and カ-ト).
bool TakesSemiVoicedMark(char32_t c)
{
    return c >= 0x30CF && c <= 0x30DB && (c - 0x30CF) % 3 == 0;
}

bool TakesVoicedMark(char32_t c)
{
    return c == 0x30A6 || (c >= 0x30AB && c <= 0x30C8 && (c <= 0x30C2 ? c % 2 == 1 : c % 2 == 0)) ||
           TakesSemiVoicedMark(c);
}

// The full-width code of the half-width katakana Kana, joined with a sound
// mark at Text[At] when their voiced form exists (At then moves past it).
unsigned short FullWidthKana(char32_t Kana, const AnsiString& Text, size_t& At)
{
    const JisUnicode& t = Tables();
    unsigned short jis = KanaToJis(static_cast<unsigned char>(Kana - HalfKanaFirst + 0xA1));
    char32_t full = t.ToUnicode[CellIndex(jis)];
    size_t next = At;
    char32_t mark = 0;
    if (!NextScalar(Text, next, mark) || (mark != VoicedMark && mark != SemiVoicedMark))
        return jis;
    char32_t joined = mark == VoicedMark ? (full == 0x30A6 ? 0x30F4 : full + 1) : full + 2;
    bool joins = mark == VoicedMark ? TakesVoicedMark(full) : TakesSemiVoicedMark(full);
    if (!joins || t.Jis(joined) == 0)
        return jis;
    At = next;
    return t.Jis(joined);
}

void Utf8LineToJis(AnsiString& Out, const AnsiString& Text, int& Replaced)
{
    const JisUnicode& t = Tables();
    JisWriter jis(Out);
    size_t at = 0;
    char32_t c = 0;
    while (at < Text.size() && NextScalar(Text, at, c)) {
        if (c < 0x80) {
            jis.Ascii(static_cast<char>(c));
        } else if (c >= HalfKanaFirst && c <= HalfKanaLast) {
            jis.Pair(FullWidthKana(c, Text, at));
        } else if (unsigned short code = t.Jis(c)) {
            jis.Pair(code);
        } else {
            jis.Pair(Geta);
            ++Replaced;
        }
    }
    jis.End();
}

bool InRows(unsigned char b)
{
    return b >= 0x21 && b <= 0x7E;
}

// Writes a JIS text in UTF-8. Bytes with the high bit set, which no JIS text
// holds (a pair KanjiConvert could not convert), become 〓, one for a pair.
// Where the plain 7-bit bytes from From on end: at the next escape or 8-bit
// byte, or the end of the text. Looks eight bytes at a time.
size_t PlainEnd(const AnsiString& Text, size_t From)
{
    const void* escape = std::memchr(Text.data() + From, ESC, Text.size() - From);
    const size_t limit = escape ? static_cast<size_t>(static_cast<const char*>(escape) - Text.data()) : Text.size();
    size_t at = From;
    for (std::uint64_t word; at + 8 <= limit; at += 8) {
        std::memcpy(&word, Text.data() + at, 8);
        if (word & 0x8080808080808080u)
            break;
    }
    while (at < limit && static_cast<unsigned char>(Text[at]) < 0x80)
        ++at;
    return at;
}

void JisLineToUtf8(AnsiString& Out, const AnsiString& Jis, int& Replaced)
{
    enum class Run { Ascii, Kanji, Kana } run = Run::Ascii;
    const JisUnicode& t = Tables();
    auto byte = [&](size_t i) { return i < Jis.size() ? static_cast<unsigned char>(Jis[i]) : 0; };
    // No input byte makes more than three bytes of UTF-8 (a half-width kana,
    // or the geta mark for an 8-bit byte): written in place, then cut to size.
    const size_t before = Out.size();
    Out.resize(before + Jis.size() * 3);
    char* to = Out.data() + before;
    for (size_t i = 0; i < Jis.size();) {
        unsigned char b = byte(i);
        if (run == Run::Kanji && InRows(b) && InRows(byte(i + 1))) { // the common case first
            const int cell = CellIndex(static_cast<unsigned short>((b << 8) | byte(i + 1)));
            Replaced += t.ToUnicode[cell] == 0;
            // Four bytes copied, Length kept: the room made above always has them.
            std::memcpy(to, t.ToUtf8[cell].Bytes, 4);
            to += t.ToUtf8[cell].Length;
            i += 2;
        } else if (b == ESC && byte(i + 1) == '$' && (byte(i + 2) == 'B' || byte(i + 2) == '@')) {
            run = Run::Kanji;
            i += 3;
        } else if (b == ESC && byte(i + 1) == '(' && (byte(i + 2) == 'B' || byte(i + 2) == 'J')) {
            run = Run::Ascii;
            i += 3;
        } else if (b == ESC && byte(i + 1) == '(' && byte(i + 2) == 'I') {
            run = Run::Kana;
            i += 3;
        } else if (b >= 0x80) {
            to = PutUtf8(to, GetaUnicode);
            ++Replaced;
            i += byte(i + 1) >= 0x40 ? 2 : 1;
        } else if (run == Run::Kana && b >= 0x21 && b <= 0x5F) {
            to = PutUtf8(to, HalfKanaFirst + (b - 0x21));
            ++i;
        } else {
            // The plain bytes up to the next escape or 8-bit byte go as they
            // are; in a kanji or kana run, the one byte that is not a character.
            const size_t end = run == Run::Ascii ? PlainEnd(Jis, i + 1) : i + 1;
            std::memcpy(to, Jis.data() + i, end - i);
            to += end - i;
            i = end;
        }
    }
    Out.resize(static_cast<size_t>(to - Out.data()));
}

} // namespace

bool IsUtf8(const AnsiString& Text)
{
    size_t at = 0;
    char32_t c = 0;
    while (at < Text.size())
        if (!NextScalar(Text, at, c))
            return false;
    return true;
}

bool IsAscii(const AnsiString& Text)
{
    // Eight bytes at a time: the high bits of all of them gathered in one word.
    const char* at = Text.data();
    size_t left = Text.size();
    std::uint64_t high = 0;
    for (; left >= 8; at += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        high |= word;
    }
    for (; left > 0; ++at, --left)
        high |= static_cast<unsigned char>(*at);
    return (high & 0x8080808080808080u) == 0;
}

const AnsiString& LogLineToShiftJis(AnsiString& Result, const AnsiString& Line)
{
    if (Line.find(ESC) != AnsiString::npos || IsAscii(Line) || !IsUtf8(Line))
        return KanjiConvert(Result, Line, kcJis, kcShiftJis, 1);
    AnsiString jis;
    int replaced = 0;
    Utf8LineToJis(jis, Line, replaced);
    return KanjiConvert(Result, jis, kcJis, kcShiftJis, 1);
}

const AnsiString& Utf8ToJis(AnsiString& Result, const AnsiString& Text, int& Replaced)
{
    Replaced = 0;
    if (!IsUtf8(Text))
        return KanjiConvert(Result, Text, kcDetect, kcJis, 1);
    AnsiString out;
    out.reserve(Text.size() + 16);
    Utf8LineToJis(out, Text, Replaced);
    Result = std::move(out);
    return Result;
}

const AnsiString& JapaneseToUtf8(AnsiString& Result, const AnsiString& Text, int& Replaced)
{
    Replaced = 0;
    const bool eightBit = !IsAscii(Text);
    if (Text.find(ESC) == AnsiString::npos && (!eightBit || IsUtf8(Text)))
        return Text;
    AnsiString jis;
    const AnsiString& source = eightBit ? KanjiConvert(jis, Text, kcDetect, kcJis, 1) : Text;
    AnsiString out;
    JisLineToUtf8(out, source, Replaced);
    Result = std::move(out);
    return Result;
}
