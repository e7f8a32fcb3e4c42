// Converter tests: tables of inputs and expected bytes, failures in hex.
#include "kanji/kanji_convert.h"
#include "support_code/hex.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Convert(const std::string& text, int in, int out, int crlf = 1)
{
    std::string result = "stale";
    std::string returned = KanjiConvert(result, text, in, out, crlf);
    EXPECT_EQ(returned, result);
    return result;
}

const std::string ESC_KANJI = "\x1B$B";
const std::string ESC_ASCII = "\x1B(B";

struct Case {
    const char* name;
    std::string input;
    int in;
    int out;
    int crlf;
    std::string expected;
};

void RunTable(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        std::string got = Convert(c.input, c.in, c.out, c.crlf);
        EXPECT_EQ(Hex(got), Hex(c.expected)) << c.name << "\n  input: " << Hex(c.input);
    }
}

TEST(KanjiConvert, ShortTextsConvertWhole)
{
    RunTable({
        {"empty", "", kcShiftJis, kcJis, 1, ""},
        {"one byte", "a", kcShiftJis, kcJis, 1, "a"},
        {"two bytes", "ab", kcShiftJis, kcJis, 1, "ab"},
        {"abc", "abc", kcShiftJis, kcJis, 1, "abc"},
        {"abcd", "abcd", kcShiftJis, kcJis, 1, "abcd"},
        {"one kanji", "\x8A\xBF", kcShiftJis, kcJis, 1, ESC_KANJI + "\x34\x41"},
        {"bare line end", "\r\n", kcShiftJis, kcJis, 1, "\r\n"},
        {"x and line end", "x\r\n", kcShiftJis, kcJis, 1, "x\r\n"},
    });
}

TEST(KanjiConvert, ShiftJisToJisEscapes)
{
    // 漢字テスト followed by a blank.
    const std::string kanjiTest = "\x8A\xBF\x8E\x9A\x83\x65\x83\x58\x83\x67";
    RunTable({
        {"kanji run then blank", kanjiTest + " ", kcShiftJis, kcJis, 1,
         ESC_KANJI + "\x34\x41\x3B\x7A\x25\x46\x25\x39\x25\x48" + ESC_ASCII + " "},
        {"ends in kanji: no closing escape", "a" + kanjiTest, kcShiftJis, kcJis, 1,
         "a" + ESC_KANJI + "\x34\x41\x3B\x7A\x25\x46\x25\x39\x25\x48"},
        // あい a CR LF keeps its line end, the return escape before it.
        {"short line ending in kanji keeps its line end", "\x82\xA0\x82\xA2" "a\r\n", kcShiftJis, kcJis, 1,
         ESC_KANJI + "\x24\x22\x24\x24" + ESC_ASCII + "a\r\n"},
        {"kanji right before line end", "PRIVMSG #c :\x82\xA0\x82\xA2\r\n", kcShiftJis, kcJis, 1,
         "PRIVMSG #c :" + ESC_KANJI + "\x24\x22\x24\x24" + ESC_ASCII + "\r\n"},
        {"half-width kana pass through", "\xB1\xB2\xB3", kcShiftJis, kcJis, 1, "\xB1\xB2\xB3"},
        {"alternating kanji and ascii is never cut", "\x82\xA0" "a\x82\xA0" "b\x82\xA0" "c", kcShiftJis, kcJis, 1,
         ESC_KANJI + "\x24\x22" + ESC_ASCII + "a" + ESC_KANJI + "\x24\x22" + ESC_ASCII + "b" + ESC_KANJI + "\x24\x22" +
             ESC_ASCII + "c"},
        // The user-defined area has no JIS form; converted by the pair
        // arithmetic it would give a NUL (ending the text) or a CR or LF
        // (ending the line), so its bytes are copied.
        {"user-defined pair is copied, not cut to NUL", "ab\xF0\x9F" "cd", kcShiftJis, kcJis, 1,
         "ab" + ESC_KANJI + "\xF0\x9F" + ESC_ASCII + "cd"},
        {"user-defined pair never becomes a line end", "a\xF5\x9F" "b\xF7\x40\r\n", kcShiftJis, kcJis, 1,
         "a" + ESC_KANJI + "\xF5\x9F" + ESC_ASCII + "b" + ESC_KANJI + "\xF7\x40" + ESC_ASCII + "\r\n"},
        {"user-defined pair to EUC is copied too", "\xF0\x9F", kcShiftJis, kcEuc, 1, "\xF0\x9F"},
        {"NUL in the input ends the text", std::string("ab\0cd", 5), kcShiftJis, kcJis, 1, "ab"},
    });
}

TEST(KanjiConvert, JisInput)
{
    RunTable({
        {"JIS to Shift_JIS", ESC_KANJI + "\x24\x22" + ESC_ASCII + "abc", kcJis, kcShiftJis, 1, "\x82\xA0" "abc"},
        {"ESC $ @ and ESC ( J normalised", "\x1B$@\x24\x22\x1B(Jx", kcJis, kcJis, 1,
         ESC_KANJI + "\x24\x22" + ESC_ASCII + "x"},
        {"line end inside a JIS run is a code", "abcd" + ESC_KANJI + "\x24\x22\x24\x24\r\nxy", kcJis, kcShiftJis, 1,
         "abcd\x82\xA0\x82\xA2\x77\x29\xEC\xF7"},
        // Converted by the arithmetic, DF 8C would give 98 0A: an LF.
        {"8-bit pair in a JIS run is copied", ESC_KANJI + "\xDF\x8C\x24\x22", kcJis, kcShiftJis, 1, "\xDF\x8C\x82\xA0"},
        {"unclosed run with odd last byte", ESC_KANJI + "\x24\x22\x24", kcJis, kcShiftJis, 1, "\x82\xA0\x24"},
        {"ESC cut off at the end", "ab\x1B$", kcJis, kcShiftJis, 1, "ab\x1B$"},
        {"ESC ( I passes through as bytes", "\x1B(Ia", kcJis, kcShiftJis, 1, "\x1B(Ia"},
        {"ESC ( B outside a run is plain", "\x1B(Bz", kcJis, kcShiftJis, 1, "\x1B(Bz"},
        {"unknown escape inside a run copies ESC", ESC_KANJI + "\x1B$B", kcJis, kcJis, 1, ESC_KANJI + "\x1B$B"},
        {"JIS to EUC", ESC_KANJI + "\x24\x22" + ESC_ASCII + "a", kcJis, kcEuc, 1, "\xA4\xA2" "a"},
    });
}

TEST(KanjiConvert, EucInput)
{
    const std::string euc = "abc \x8E\xB1\x8E\xDE xyz";
    RunTable({
        {"half-width kana to JIS", euc, kcEuc, kcJis, 1,
         "abc " + ESC_KANJI + "\x25\x22\x21\x2B" + ESC_ASCII + " xyz"},
        {"half-width kana to Shift_JIS", euc, kcEuc, kcShiftJis, 1, "abc \x83\x41\x81\x4A xyz"},
        {"EUC to EUC keeps the kana pair", euc, kcEuc, kcEuc, 1, euc},
        {"kanji to Shift_JIS", "\xB4\xC1\xBB\xFA", kcEuc, kcShiftJis, 1, "\x8A\xBF\x8E\x9A"},
    });
}

TEST(KanjiConvert, DetectionOrder)
{
    RunTable({
        // 0xA4 is no Shift_JIS lead byte, so the first pair is EUC.
        {"EUC detected", "\xA4\xA2\xA4\xA4", kcDetect, kcShiftJis, 1, "\x82\xA0\x82\xA2"},
        // 0x8E 0xB1 is valid in both; Shift_JIS is tried first.
        {"Shift_JIS before EUC", "\x8E\xB1", kcDetect, kcEuc, 1, "\xBC\xB3"},
        {"JIS escape detected", ESC_KANJI + "\x24\x22" + ESC_ASCII, kcDetect, kcShiftJis, 1, "\x82\xA0"},
        {"first decision holds: EUC then Shift_JIS-only pair", "\xA4\xA2\x82\xA0", kcDetect, kcShiftJis, 1,
         "\x82\xA0\x82\xA0"},
        {"no pair: copied with line ends", "a\nb", kcDetect, kcJis, 1, "a\r\nb"},
    });
}

TEST(KanjiConvert, LineEnds)
{
    const std::string mixed = "a\rb\nc\r\nd\n\re";
    RunTable({
        {"CrLf set", mixed, kcShiftJis, kcJis, 1, "a\r\nb\r\nc\r\nd\r\n\r\ne"},
        {"CrLf zero", mixed, kcShiftJis, kcJis, 0, "a\nb\nc\nd\n\ne"},
        {"only the low 8 bits of CrLf count", mixed, kcShiftJis, kcJis, 0x100, "a\nb\nc\nd\n\ne"},
        {"lone CR at the end", "a\r", kcShiftJis, kcShiftJis, 1, "a\r\n"},
        {"line end closes a kanji run", "\x82\xA0\r", kcShiftJis, kcJis, 0, ESC_KANJI + "\x24\x22" + ESC_ASCII + "\n"},
    });
}

TEST(KanjiConvert, EveryJisCodeRoundTrips)
{
    int failures = 0;
    for (unsigned row = 0x21; row <= 0x7E; ++row) {
        for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
            auto code = static_cast<unsigned short>((row << 8) | cell);
            unsigned short sjis = JisToSjis(code);
            if (SjisToJis(sjis) != code && ++failures < 10)
                ADD_FAILURE() << std::hex << "JIS " << code << " -> SJIS " << sjis << " -> JIS " << SjisToJis(sjis);
            // Through whole texts as well.
            std::string jisText = ESC_KANJI + std::string{char(row), char(cell)};
            std::string sjisText = Convert(jisText, kcJis, kcShiftJis);
            std::string back = Convert(sjisText, kcShiftJis, kcJis);
            if (back != jisText && ++failures < 10)
                ADD_FAILURE() << "text round trip of " << Hex(jisText) << " gave " << Hex(back) << " via "
                              << Hex(sjisText);
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(KanjiConvert, TwoByteConversions)
{
    struct Pair {
        unsigned short in;
        unsigned short (*fn)(unsigned short);
        unsigned short out;
        const char* name;
    };
    const Pair pairs[] = {
        {0x8140, SjisToJis, 0x2121, "SjisToJis first code"},
        {0x9FFC, SjisToJis, 0x5E7E, "SjisToJis last of first lead range"},
        {0xE040, SjisToJis, 0x5F21, "SjisToJis first of second lead range"},
        {0xEAA4, SjisToJis, 0x7426, "SjisToJis last JIS X 0208 code"},
        {0xF140, SjisToJis, 0x0121, "SjisToJis user-defined lead"},
        {0xFC9F, SjisToJis, 0x1821, "SjisToJis last user-defined lead"},
        {0x2422, JisToSjis, 0x82A0, "JisToSjis"},
        {0x2422, JisToEuc, 0xA4A2, "JisToEuc"},
        {0xA4A2, EucToJis, 0x2422, "EucToJis"},
        {0x8EB1, EucToJis, 0x2522, "EucToJis half-width kana"},
        {0x82A0, SjisToEuc, 0xA4A2, "SjisToEuc"},
        {0xA4A2, EucToSjis, 0x82A0, "EucToSjis"},
        {0x8EDF, EucToSjis, 0x814B, "EucToSjis semi-voiced mark"},
    };
    for (const Pair& p : pairs)
        EXPECT_EQ(p.fn(p.in), p.out) << p.name << std::hex << " of 0x" << p.in;
}

TEST(KanjiConvert, KanaTable)
{
    EXPECT_EQ(KanaToJis(0xA0), 0x2121);
    EXPECT_EQ(KanaToJis(0xA1), 0x2123);
    EXPECT_EQ(KanaToJis(0xB1), 0x2522);
    EXPECT_EQ(KanaToJis(0xDE), 0x212B);
    EXPECT_EQ(KanaToJis(0xDF), 0x212C);
    EXPECT_EQ(KanaToJis(0x9F), 0);
    EXPECT_EQ(KanaToJis(0xE0), 0);
    EXPECT_EQ(KanaToJis('a'), 0);
}

// JIS to Shift_JIS has a loop of its own: on texts made of the bytes its
// rules turn on (escapes, their halves, line ends, NUL, 7- and 8-bit bytes),
// cut anywhere, it must give exactly what the stepwise rules give, into an
// empty result, into a reused longer one and into the text itself.
TEST(KanjiConvert, JisToShiftJisLoopGivesTheStepwiseOutput)
{
    const std::string pieces[] = {ESC_KANJI, ESC_ASCII, "\x1B$@", "\x1B(J", "\x1B(I", "\x1B$", "\x1B", "\r", "\n",
                                  "\r\n",  "\n\r",    "$",      "(",      "B",      "\x24\x22", "\x30\x21",
                                  "abc ",   "\x80",    "\xA4\xA2", "\xFF", std::string(1, '\0')};
    std::mt19937 random(24);
    std::string reused(400, 'x');
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (size_t k = random() % 12; k > 0; --k)
            text += pieces[random() % std::size(pieces)];
        text.resize(text.size() - random() % 2 * std::min<size_t>(text.size(), 1)); // also cut inside a piece
        const int crlf = i % 3 == 0 ? 0 : (i % 3 == 1 ? 1 : 0x100);
        std::string stepwise, fresh;
        KanjiConvertStepwise(stepwise, text, kcJis, kcShiftJis, crlf);
        ASSERT_EQ(Hex(KanjiConvert(fresh, text, kcJis, kcShiftJis, crlf)), Hex(stepwise)) << "input: " << Hex(text);
        ASSERT_EQ(KanjiConvert(reused, text, kcJis, kcShiftJis, crlf), stepwise) << "input: " << Hex(text);
        std::string self = text;
        ASSERT_EQ(KanjiConvert(self, self, kcJis, kcShiftJis, crlf), stepwise) << "input: " << Hex(text);
    }
}

} // namespace
