// Fuzz target for KanjiConvert and SjisFind.
//
// The input is used twice. As raw bytes it goes through every pair of codes
// and both line-end settings, checking what holds for any text. It is also
// read as a list of well-formed characters (ASCII, JIS X 0208 kanji,
// half-width katakana, CR LF), written out here in Shift_JIS, JIS and EUC
// from their row and cell numbers, so that the conversions, detection and the
// search can be checked against exact expected bytes.
#include "kanji/kanji_convert.h"
#include "kanji/sjis_search.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string EscKanji = "\x1B$B";
const std::string EscAscii = "\x1B(B";

void PrintHex(const char* Label, const std::string& Bytes)
{
    std::fprintf(stderr, "%s (%zu):", Label, Bytes.size());
    for (unsigned char c : Bytes)
        std::fprintf(stderr, " %02X", c);
    std::fprintf(stderr, "\n");
}

[[noreturn]] void Fail(const char* What, const std::string& Input, const std::string& Got, const std::string& Expected)
{
    std::fprintf(stderr, "property failed: %s\n", What);
    PrintHex("input", Input);
    PrintHex("got", Got);
    PrintHex("expected", Expected);
    std::abort();
}

void ExpectEqual(const char* What, const std::string& Input, const std::string& Got, const std::string& Expected)
{
    if (Got != Expected)
        Fail(What, Input, Got, Expected);
}

std::string Convert(const std::string& Text, int In, int Out, int CrLf = 1)
{
    std::string result = "stale";
    std::string returned = KanjiConvert(result, Text, In, Out, CrLf);
    if (returned != result)
        Fail("returned text differs from Result", Text, returned, result);
    return result;
}

std::string BeforeNul(const std::string& Text)
{
    return Text.substr(0, Text.find('\0'));
}

// Every CR LF, lone CR and lone LF written as one line end.
std::string NormaliseLineEnds(const std::string& Text, bool CrLf)
{
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        char c = Text[i];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
            ++i;
        out += CrLf ? "\r\n" : "\n";
    }
    return out;
}

// What holds for any bytes at all.
void CheckAnyText(const std::string& Raw)
{
    const std::string text = BeforeNul(Raw);
    for (int in = kcDetect; in <= kcEuc; ++in)
        for (int out = kcJis; out <= kcEuc; ++out)
            for (int crlf : {0, 1}) {
                std::string got = Convert(Raw, in, out, crlf);
                if (got.find('\0') != std::string::npos)
                    Fail("result holds a NUL byte", Raw, got, "");
                if (got.size() > 5 * text.size())
                    Fail("result longer than five bytes per input byte", Raw, got, "");
                ExpectEqual("text after a NUL reaches the result", Raw, got, Convert(text, in, out, crlf));
                ExpectEqual("CrLf bits above the low 8 count", Raw, Convert(Raw, in, out, crlf | 0x100), got);
            }
    // Shift_JIS and EUC pairs never hold CR or LF, so converting a text into
    // its own code changes its line ends and nothing else.
    for (int code : {kcShiftJis, kcEuc})
        for (int crlf : {0, 1})
            ExpectEqual("conversion into the same code changed more than line ends", Raw, Convert(Raw, code, code, crlf),
                        NormaliseLineEnds(text, crlf));
}

// One well-formed character and its bytes in each code.
struct Char {
    enum Kind { Ascii, Kanji, Kana, LineEnd } kind;
    std::string sjis, jis, euc;
};

// Shift_JIS, JIS and EUC of the JIS X 0208 character at Row and Cell (1-94).
Char Kanji(int Row, int Cell)
{
    int s1 = (Row + 1) / 2 + (Row <= 62 ? 0x80 : 0xC0);
    int s2 = (Row % 2) ? Cell + 0x3F + (Cell >= 64 ? 1 : 0) : Cell + 0x9E;
    int j1 = Row + 0x20, j2 = Cell + 0x20;
    return {Char::Kanji, {char(s1), char(s2)}, {char(j1), char(j2)}, {char(j1 | 0x80), char(j2 | 0x80)}};
}

// Reads characters from the bytes: the first byte picks the kind, the next
// ones the character.
class CharReader {
public:
    CharReader(const std::string& Bytes, bool WithKana) : FBytes(Bytes), FWithKana(WithKana) {}

    std::vector<Char> ReadAll()
    {
        std::vector<Char> chars;
        while (FPos < FBytes.size())
            chars.push_back(Next());
        return chars;
    }

private:
    unsigned char Take() { return FPos < FBytes.size() ? static_cast<unsigned char>(FBytes[FPos++]) : 0; }

    Char Next()
    {
        unsigned char b = Take();
        switch (b % 8) {
        case 0:
            return {Char::LineEnd, "\r\n", "\r\n", "\r\n"};
        case 1:
        case 2:
        case 3: {
            char c = static_cast<char>(0x20 + Take() % 95);
            return {Char::Ascii, {c}, {c}, {c}};
        }
        case 4:
            if (FWithKana) {
                char k = static_cast<char>(0xA1 + Take() % 63);
                return {Char::Kana, {k}, {k}, {'\x8E', k}};
            }
            [[fallthrough]];
        default: {
            int row = Take() % 94 + 1;
            return Kanji(row, Take() % 94 + 1);
        }
        }
    }

    const std::string& FBytes;
    bool FWithKana;
    std::size_t FPos = 0;
};

// A list of characters written out in each code. Starts holds the character
// boundaries in Sjis.
struct Encoded {
    std::string sjis, jis, euc;
    std::vector<std::size_t> starts;
};

Encoded Encode(const std::vector<Char>& Chars)
{
    Encoded e;
    bool inKanji = false;
    for (const Char& c : Chars) {
        bool kanji = c.kind == Char::Kanji;
        if (kanji != inKanji)
            e.jis += kanji ? EscKanji : EscAscii;
        inKanji = kanji;
        // CR LF is two characters; only a kanji spans two bytes.
        for (std::size_t i = 0; i < c.sjis.size(); i += kanji ? 2 : 1)
            e.starts.push_back(e.sjis.size() + i);
        e.sjis += c.sjis;
        e.jis += c.jis;
        e.euc += c.euc;
    }
    return e;
}

// The code that detection must pick for the EUC form: a first pair that is
// also a valid Shift_JIS pair (lead 0xE0-0xFC, trail up to 0xFC) makes it
// Shift_JIS.
int DetectedCodeOfEuc(const std::vector<Char>& Chars)
{
    for (const Char& c : Chars)
        if (c.kind == Char::Kanji) {
            unsigned char e1 = static_cast<unsigned char>(c.euc[0]), e2 = static_cast<unsigned char>(c.euc[1]);
            return e1 >= 0xE0 && e1 <= 0xFC && e2 <= 0xFC ? kcShiftJis : kcEuc;
        }
    return kcEuc;
}

// The same JIS text with the older escapes ESC $ @ in and ESC ( J out. JIS
// text holds ESC only in its escapes.
std::string OlderEscapes(std::string Jis)
{
    for (std::size_t at = 0; (at = Jis.find('\x1B', at)) != std::string::npos; at += 3)
        Jis[at + 2] = Jis[at + 1] == '$' ? '@' : 'J';
    return Jis;
}

// Conversions between the three forms of a text without half-width kana.
void CheckConversions(const std::vector<Char>& Chars)
{
    const Encoded e = Encode(Chars);
    ExpectEqual("Shift_JIS to JIS", e.sjis, Convert(e.sjis, kcShiftJis, kcJis), e.jis);
    ExpectEqual("Shift_JIS to EUC", e.sjis, Convert(e.sjis, kcShiftJis, kcEuc), e.euc);
    ExpectEqual("JIS to Shift_JIS", e.jis, Convert(e.jis, kcJis, kcShiftJis), e.sjis);
    ExpectEqual("JIS to EUC", e.jis, Convert(e.jis, kcJis, kcEuc), e.euc);
    ExpectEqual("JIS to JIS", e.jis, Convert(e.jis, kcJis, kcJis), e.jis);
    ExpectEqual("EUC to Shift_JIS", e.euc, Convert(e.euc, kcEuc, kcShiftJis), e.sjis);
    ExpectEqual("EUC to JIS", e.euc, Convert(e.euc, kcEuc, kcJis), e.jis);
    ExpectEqual("detected Shift_JIS to JIS", e.sjis, Convert(e.sjis, kcDetect, kcJis), e.jis);
    ExpectEqual("detected JIS to Shift_JIS", e.jis, Convert(e.jis, kcDetect, kcShiftJis), e.sjis);
    ExpectEqual("detected EUC to JIS", e.euc, Convert(e.euc, kcDetect, kcJis),
                Convert(e.euc, DetectedCodeOfEuc(Chars), kcJis));
    std::string lf = NormaliseLineEnds(e.jis, false);
    ExpectEqual("Shift_JIS to JIS with LF line ends", e.sjis, Convert(e.sjis, kcShiftJis, kcJis, 0), lf);
    std::string older = OlderEscapes(e.jis);
    ExpectEqual("JIS with ESC $ @ and ESC ( J to JIS", older, Convert(older, kcJis, kcJis), e.jis);
    ExpectEqual("JIS with ESC $ @ and ESC ( J to Shift_JIS", older, Convert(older, kcDetect, kcShiftJis), e.sjis);
}

// Half-width katakana are single bytes in Shift_JIS and pass into JIS as such.
void CheckKanaConversions(const std::vector<Char>& Chars)
{
    const Encoded e = Encode(Chars);
    ExpectEqual("Shift_JIS with kana to JIS", e.sjis, Convert(e.sjis, kcShiftJis, kcJis), e.jis);
    ExpectEqual("JIS with kana to Shift_JIS", e.jis, Convert(e.jis, kcJis, kcShiftJis), e.sjis);
}

bool IsBoundary(const Encoded& E, std::size_t Position)
{
    for (std::size_t start : E.starts)
        if (start == Position)
            return true;
    return false;
}

// The first character boundary at or after From where Sub starts.
std::size_t FirstMatch(const Encoded& E, const std::string& Sub, std::size_t From)
{
    for (std::size_t start : E.starts)
        if (start >= From && E.sjis.compare(start, Sub.size(), Sub) == 0)
            return start;
    return std::string::npos;
}

void ExpectFind(const char* What, const Encoded& E, const std::string& Sub, std::size_t From)
{
    std::size_t got = SjisFind(E.sjis, Sub, From);
    std::size_t expected = FirstMatch(E, Sub, From);
    if (got == expected)
        return;
    std::fprintf(stderr, "from %zu: got %zu, expected %zu (%s a boundary)\n", From, got, expected,
                 IsBoundary(E, got) ? "at" : "not at");
    Fail(What, E.sjis, Sub, "");
}

// Searches in a well-formed text: a needle cut at any byte offset (often a
// trail byte), and a needle of whole characters inserted at a boundary.
void CheckSearch(std::vector<Char> Chars, const std::string& Raw)
{
    if (Chars.empty() || Raw.size() < 4)
        return;
    const Encoded e = Encode(Chars);
    std::size_t offset = static_cast<unsigned char>(Raw[0]) * 7 % e.sjis.size();
    std::size_t from = static_cast<unsigned char>(Raw[1]) % (e.sjis.size() + 1);
    std::string cut = e.sjis.substr(offset, 1 + static_cast<unsigned char>(Raw[2]) % 12);
    ExpectFind("needle cut from the text", e, cut, 0);
    ExpectFind("needle cut from the text, later start", e, cut, from);

    std::size_t first = static_cast<unsigned char>(Raw[3]) % Chars.size();
    std::size_t count = 1 + static_cast<unsigned char>(Raw[2]) % 4;
    std::vector<Char> needleChars(Chars.begin() + first, Chars.begin() + std::min(Chars.size(), first + count));
    std::string needle = Encode(needleChars).sjis;
    std::size_t at = static_cast<unsigned char>(Raw.back()) % (Chars.size() + 1);
    Chars.insert(Chars.begin() + at, needleChars.begin(), needleChars.end());
    const Encoded withNeedle = Encode(Chars);
    std::size_t position = Encode(std::vector<Char>(Chars.begin(), Chars.begin() + at)).sjis.size();
    ExpectFind("inserted needle", withNeedle, needle, 0);
    if (SjisFind(withNeedle.sjis, needle, position) != position)
        Fail("inserted needle not found where it was put", withNeedle.sjis, needle, "");
    if (SjisFind(withNeedle.sjis, "") != std::string::npos)
        Fail("empty needle matched", withNeedle.sjis, "", "");
    if (SjisFind(withNeedle.sjis + '\0' + needle, needle) != SjisFind(withNeedle.sjis, needle))
        Fail("search went past a NUL byte", withNeedle.sjis, needle, "");
}

// Whatever the bytes, a reported match is a real one inside the text.
void CheckAnySearch(const std::string& Raw)
{
    if (Raw.empty())
        return;
    std::size_t split = static_cast<unsigned char>(Raw[0]) % Raw.size();
    std::string text = Raw.substr(1, split), sub = Raw.substr(1 + split);
    std::string visible = BeforeNul(text), wanted = BeforeNul(sub);
    std::size_t got = SjisFind(text, sub);
    if (got == std::string::npos)
        return;
    if (wanted.empty() || got + wanted.size() > visible.size() || visible.compare(got, wanted.size(), wanted) != 0)
        Fail("reported match is not in the text", text, sub, "");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string raw(reinterpret_cast<const char*>(Data), Size);
    CheckAnyText(raw);
    CheckAnySearch(raw);
    std::vector<Char> plain = CharReader(raw, false).ReadAll();
    CheckConversions(plain);
    CheckSearch(plain, raw);
    std::vector<Char> withKana = CharReader(raw, true).ReadAll();
    CheckKanaConversions(withKana);
    CheckSearch(withKana, raw);
    return 0;
}
