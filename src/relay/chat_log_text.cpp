#include "relay/chat_log_text.h"

#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "kanji/sjis_bytes.h"

#include <QCryptographicHash>

#include <array>
#include <cstdio>
#include <vector>

namespace {

// The bytes read as a row of units: a Unicode scalar, or a byte that is no
// character of the code read (RawFlag set, the byte in the low 8 bits).
constexpr char32_t RawFlag = 0x80000000u;
using TUnits = std::vector<char32_t>;

bool IsRaw(char32_t Unit)
{
    return (Unit & RawFlag) != 0;
}

constexpr unsigned char ESC = 0x1B;
constexpr int Rows = 94;
constexpr char32_t HalfKanaFirst = 0xFF61; // U+FF61, the half-width katakana of byte 0xA1

unsigned char ByteAt(const AnsiString& Text, size_t At)
{
    return At < Text.size() ? static_cast<unsigned char>(Text[At]) : 0;
}

// Reads one UTF-8 character of two or more bytes at Text[At]; 0 when none
// starts there (a malformed, overlong, surrogate or out-of-range sequence, or
// ASCII). Length gets its byte count.
char32_t Utf8At(const AnsiString& Text, size_t At, size_t& Length)
{
    const unsigned char lead = ByteAt(Text, At);
    const size_t n = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || At + n > Text.size())
        return 0;
    static constexpr char32_t LeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
    static constexpr char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t c = lead & LeadMask[n];
    for (size_t k = 1; k < n; ++k) {
        const unsigned char b = ByteAt(Text, At + k);
        if ((b & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < Smallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    Length = n;
    return c;
}

void PutUtf8(std::string& Out, char32_t c)
{
    if (c < 0x80) {
        Out += static_cast<char>(c);
    } else if (c < 0x800) {
        Out += static_cast<char>(0xC0 | (c >> 6));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        Out += static_cast<char>(0xE0 | (c >> 12));
        Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (c >> 18));
        Out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character of each JIS X 0208 cell, 0 for a cell without one, as
// JapaneseToUtf8 maps it (it counts a cell without a character as replaced).
const std::array<char32_t, Rows * Rows>& Cells()
{
    static const std::array<char32_t, Rows* Rows> cells = [] {
        std::array<char32_t, Rows * Rows> table {};
        AnsiString jis = "\x1B$B??", out;
        for (int i = 0; i < Rows * Rows; ++i) {
            jis[3] = static_cast<char>(0x21 + i / Rows);
            jis[4] = static_cast<char>(0x21 + i % Rows);
            int replaced = 0;
            const AnsiString& utf8 = JapaneseToUtf8(out, jis, replaced);
            size_t length = 0;
            const char32_t c = Utf8At(utf8, 0, length);
            table[i] = replaced == 0 && length == utf8.size() ? c : 0;
        }
        return table;
    }();
    return cells;
}

// The character of a JIS X 0208 code (first byte high), 0 when none.
char32_t JisCell(unsigned First, unsigned Second)
{
    auto inRows = [](unsigned b) { return b >= 0x21 && b <= 0x7E; };
    if (!inRows(First) || !inRows(Second))
        return 0;
    return Cells()[(First - 0x21) * Rows + (Second - 0x21)];
}

bool IsJisEscape(const AnsiString& Text, size_t At)
{
    const unsigned char a = ByteAt(Text, At + 1), b = ByteAt(Text, At + 2);
    return ByteAt(Text, At) == ESC && At + 2 < Text.size() &&
           ((a == '$' && (b == 'B' || b == '@')) || (a == '(' && (b == 'B' || b == 'J' || b == 'I')));
}

bool HasJisEscape(const AnsiString& Text)
{
    for (size_t at = Text.find(static_cast<char>(ESC)); at != AnsiString::npos;
         at = Text.find(static_cast<char>(ESC), at + 1))
        if (IsJisEscape(Text, at))
            return true;
    return false;
}

// An 8-bit byte met outside the code read: a UTF-8 character when one
// starts there, else the byte of no character.
size_t ForeignByte(const AnsiString& Text, size_t At, TUnits& Out)
{
    size_t length = 0;
    if (const char32_t c = Utf8At(Text, At, length)) {
        Out.push_back(c);
        return length;
    }
    Out.push_back(RawFlag | ByteAt(Text, At));
    return 1;
}

TUnits ReadJis(const AnsiString& Text)
{
    enum class Run { Ascii, Kanji, Kana } run = Run::Ascii;
    TUnits out;
    for (size_t i = 0; i < Text.size();) {
        const unsigned char b = ByteAt(Text, i);
        if (IsJisEscape(Text, i)) {
            const unsigned char set = ByteAt(Text, i + 2);
            run = ByteAt(Text, i + 1) == '$' ? Run::Kanji : set == 'I' ? Run::Kana : Run::Ascii;
            i += 3;
        } else if (b >= 0x80) {
            i += ForeignByte(Text, i, out);
        } else if (run == Run::Kanji && b >= 0x21 && b <= 0x7E) {
            // A pair of a cell without a character, or a first byte without
            // its second, is kept byte for byte.
            const unsigned char second = ByteAt(Text, i + 1);
            if (const char32_t c = i + 1 < Text.size() ? JisCell(b, second) : 0) {
                out.push_back(c);
                i += 2;
            } else if (i + 1 < Text.size() && second >= 0x21 && second <= 0x7E) {
                out.push_back(RawFlag | b);
                out.push_back(RawFlag | second);
                i += 2;
            } else {
                out.push_back(RawFlag | b);
                ++i;
            }
        } else if (run == Run::Kana && b >= 0x21 && b <= 0x5F) {
            out.push_back(HalfKanaFirst + (b - 0x21));
            ++i;
        } else {
            out.push_back(b);
            ++i;
        }
    }
    return out;
}

// UTF-8, with the bytes of no character raw. Counts the characters of two
// or more bytes and the raw bytes.
TUnits ReadUtf8(const AnsiString& Text, size_t& Wide, size_t& Raw)
{
    TUnits out;
    Wide = Raw = 0;
    for (size_t i = 0; i < Text.size();) {
        const unsigned char b = ByteAt(Text, i);
        size_t length = 0;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
        } else if (const char32_t c = Utf8At(Text, i, length)) {
            out.push_back(c);
            ++Wide;
            i += length;
        } else {
            out.push_back(RawFlag | b);
            ++Raw;
            ++i;
        }
    }
    return out;
}

bool IsEucPair(unsigned char a, unsigned char b)
{
    return a >= 0xA1 && a <= 0xFE && b >= 0xA1 && b <= 0xFE;
}

bool IsEucKana(unsigned char a, unsigned char b)
{
    return a == 0x8E && b >= 0xA1 && b <= 0xDF;
}

TUnits ReadShiftJis(const AnsiString& Text)
{
    TUnits out;
    for (size_t i = 0; i < Text.size();) {
        const unsigned char b = ByteAt(Text, i), second = ByteAt(Text, i + 1);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
        } else if (b >= 0xA1 && b <= 0xDF) {
            out.push_back(HalfKanaFirst + (b - 0xA1));
            ++i;
        } else if (IsSjisLeadByte(b) && i + 1 < Text.size() && IsSjisTrailByte(second)) {
            // Leads past 0xEF (the user-defined and IBM areas) have no JIS
            // X 0208 row: both bytes stay raw.
            const unsigned short jis = SjisToJis(static_cast<unsigned short>((b << 8) | second));
            if (const char32_t c = b <= 0xEF ? JisCell(jis >> 8, jis & 0xFF) : 0) {
                out.push_back(c);
            } else {
                out.push_back(RawFlag | b);
                out.push_back(RawFlag | second);
            }
            i += 2;
        } else {
            out.push_back(RawFlag | b);
            ++i;
        }
    }
    return out;
}

TUnits ReadEuc(const AnsiString& Text)
{
    TUnits out;
    for (size_t i = 0; i < Text.size();) {
        const unsigned char b = ByteAt(Text, i), second = ByteAt(Text, i + 1);
        const bool pairFits = i + 1 < Text.size();
        if (b < 0x80) {
            out.push_back(b);
            ++i;
        } else if (pairFits && IsEucKana(b, second)) {
            out.push_back(HalfKanaFirst + (second - 0xA1));
            i += 2;
        } else if (pairFits && IsEucPair(b, second)) {
            if (const char32_t c = JisCell(b & 0x7F, second & 0x7F)) {
                out.push_back(c);
            } else {
                out.push_back(RawFlag | b);
                out.push_back(RawFlag | second);
            }
            i += 2;
        } else if (b == 0x8F && i + 2 < Text.size() && IsEucPair(second, ByteAt(Text, i + 2))) {
            // JIS X 0212, which NimboChat does not map: its three bytes raw.
            for (int k = 0; k < 3; ++k)
                out.push_back(RawFlag | ByteAt(Text, i + k));
            i += 3;
        } else {
            out.push_back(RawFlag | b);
            ++i;
        }
    }
    return out;
}

TUnits Read(const AnsiString& Text)
{
    if (HasJisEscape(Text))
        return ReadJis(Text);
    size_t wide = 0, raw = 0;
    TUnits utf8 = ReadUtf8(Text, wide, raw);
    if (raw == 0 || wide > raw)
        return utf8;
    // The code converter's detection: the first place where a Shift_JIS
    // pair, or else an EUC-JP pair, starts decides.
    for (size_t i = 0; i + 1 < Text.size(); ++i) {
        const unsigned char a = ByteAt(Text, i), b = ByteAt(Text, i + 1);
        if (IsSjisLeadByte(a) && IsSjisTrailByte(b))
            return ReadShiftJis(Text);
        if (IsEucPair(a, b) || IsEucKana(a, b))
            return ReadEuc(Text);
    }
    return ReadShiftJis(Text);
}

void PutHex(std::string& Out, const char* Lead, unsigned char Byte)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%s%02X", Lead, Byte);
    Out += hex;
}

bool IsDigit(char32_t c)
{
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char32_t c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Skips what follows a colour code: up to Most characters that pass Take,
// then, after a comma, as many again (the comma stays when none follow it).
size_t SkipColour(const TUnits& Units, size_t At, size_t Most, bool (*Take)(char32_t))
{
    auto run = [&](size_t from) {
        size_t n = 0;
        while (n < Most && from + n < Units.size() && Take(Units[from + n]))
            ++n;
        return n;
    };
    const size_t first = run(At);
    if (first == 0)
        return At;
    At += first;
    if (At < Units.size() && Units[At] == ',') {
        const size_t second = run(At + 1);
        if (second > 0)
            At += 1 + second;
    }
    return At;
}

// Characters that turn text around or break it: escaped in file names.
bool IsDirectionOrBreak(char32_t c)
{
    return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
           c == 0x2029 || c == 0xFEFF;
}

// One unit as %NN escapes: a raw byte as itself, a character as its UTF-8 bytes.
void PutEscaped(std::string& Out, char32_t Unit)
{
    if (IsRaw(Unit)) {
        PutHex(Out, "%", static_cast<unsigned char>(Unit));
        return;
    }
    std::string bytes;
    PutUtf8(bytes, Unit);
    for (unsigned char b : bytes)
        PutHex(Out, "%", b);
}

// The file name of units, before the length limit, and where each unit's
// part of it ends. A unit is written as itself or as %NN escapes, and "%"
// itself is always escaped, so the name reads back one unit at a time.
std::string EscapeName(const TUnits& Units, std::vector<size_t>& TokenEnds)
{
    std::string out;
    for (size_t i = 0; i < Units.size(); ++i) {
        const char32_t c = Units[i];
        if (IsRaw(c) || c == '%' || c == '/' || c == '\\' || c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) ||
            IsDirectionOrBreak(c) || (i == 0 && c == '.'))
            PutEscaped(out, c);
        else
            PutUtf8(out, c);
        TokenEnds.push_back(out.size());
    }
    return out;
}

} // namespace

std::string LogText(const AnsiString& Bytes)
{
    const TUnits units = Read(Bytes);
    std::string out;
    out.reserve(Bytes.size() + 8);
    for (size_t i = 0; i < units.size(); ++i) {
        const char32_t c = units[i];
        if (IsRaw(c)) {
            PutHex(out, "\\x", static_cast<unsigned char>(c));
        } else if (c == 0x02 || c == 0x0F || c == 0x11 || c == 0x16 || c == 0x1D || c == 0x1E || c == 0x1F) {
            // formatting: left out
        } else if (c == 0x03) {
            i = SkipColour(units, i + 1, 2, IsDigit) - 1;
        } else if (c == 0x04) {
            i = SkipColour(units, i + 1, 6, IsHexDigit) - 1;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            PutHex(out, "\\x", static_cast<unsigned char>(c));
        } else if (c >= 0x80 && c <= 0x9F) {
            PutHex(out, "\\x", 0xC2);
            PutHex(out, "\\x", static_cast<unsigned char>(c));
        } else {
            PutUtf8(out, c);
        }
    }
    return out;
}

namespace {

QString FileNameOf(const TUnits& Units)
{
    if (Units.empty())
        return QStringLiteral("%");
    std::vector<size_t> ends;
    std::string name = EscapeName(Units, ends);
    if (name.size() > MaxLogNameBytes) {
        const QByteArray hash =
            QCryptographicHash::hash(QByteArrayView(name.data(), static_cast<qsizetype>(name.size())),
                                     QCryptographicHash::Sha256)
                .toHex()
                .left(16);
        const size_t room = MaxLogNameBytes - 2 - static_cast<size_t>(hash.size());
        size_t cut = 0;
        for (size_t end : ends)
            if (end <= room)
                cut = end;
        name.resize(cut);
        name += "%+";
        name += hash.toStdString();
    }
    return QString::fromStdString(name);
}

} // namespace

QString LogFileName(const AnsiString& Name)
{
    return FileNameOf(Read(Name));
}

QString LogFolderName(const AnsiString& Name, TCaseMapping Mapping)
{
    TUnits units = Read(Name);
    for (char32_t& c : units)
        if (c < 0x80) {
            const AnsiString folded = FoldName(AnsiString(1, static_cast<char>(c)), Mapping);
            c = static_cast<unsigned char>(folded[0]);
        }
    return FileNameOf(units);
}
