// The Shift_JIS / Unicode boundary: every byte string comes back byte for
// byte through Unicode and through the real edit, memo and log controls;
// characters typed become the bytes they are shown as.
#include "framework/controls.h"
#include "framework/richedit.h"
#include "support_code/hex.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string AllBytes()
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    return all;
}

// Byte strings that are not all Shift_JIS, and some that are.
std::vector<std::string> Samples()
{
    std::vector<std::string> samples = {"host\xFF\x80.jp", "abc\x81", "Jos\xC3\xA9", "\xE3\x83\x84\xE3\x83\xBC",
        "\xFF\xFE", "\x81\x60", "\x95\x5C\\", "\xED\x40\xFA\x5C\xEE\xEF", "\xEF\xBB\xBF" "abc", "\x81\x20\x81",
        "\xA0\xFD\x80", "a\r\nb", std::string("\0x\0", 3), AllBytes()};
    for (int lead = 0x81; lead <= 0xFC; ++lead)
        for (int trail = 0; trail < 256; ++trail)
            samples.push_back({static_cast<char>(lead), static_cast<char>(trail)});
    return samples;
}

TEST(AnsiString, EveryByteStringComesBackThroughUnicode)
{
    std::vector<std::string> lost; // as hex, with what came back
    for (const std::string& s : Samples()) {
        if (std::string back = FromQString(ToQString(s)); back != s)
            lost.push_back(Hex(s) + " -> " + Hex(back));
        if (std::string back = FileNameFromQString(FileNameToQString(s)); back != s)
            lost.push_back(Hex(s) + " -> (file name) " + Hex(back));
        // The log counts characters without converting: the count must be the converted length.
        if (Utf16Length(s) != static_cast<size_t>(ToQString(s).size()))
            lost.push_back(Hex(s) + " -> length " + std::to_string(Utf16Length(s)));
    }
    EXPECT_TRUE(lost.empty()) << lost.size() << " changed, first: " << lost.front();
}

struct Typed {
    const char16_t* Text;
    std::string Bytes;
};

TEST(AnsiString, TypedCharactersBecomeTheBytesTheyShow)
{
    const Typed cases[] = {
        {u"表", "\x95\x5C"},
        {u"\uFF5E", "\x81\x60"},
        {u"\u301C", "\x81\x60"}, // WAVE DASH: CP932 holds it one way only
        {u"é", "?"},
        {u"\U0001F600", "?"},
        {u"\uF7FF\uF780", "\xFF\x80"}, // the code points that show single bytes
        {u"\uFFFD", "?"},
    };
    for (const Typed& c : cases)
        EXPECT_EQ(Hex(FromQString(QString::fromUtf16(c.Text))), Hex(c.Bytes)) << QString::fromUtf16(c.Text).toStdString();
    // A byte that is not Shift_JIS shows as its code point, not as U+FFFD.
    EXPECT_EQ(ToQString("a\xFF"), QString::fromUtf16(u"a\uF7FF"));
    EXPECT_EQ(ToQString("\x95\x5C"), QString::fromUtf16(u"表"));
}

TEST(AnsiString, FileNamesOfAnyCharactersSurvive)
{
    for (const char16_t* name : {u"/tmp/ツール〜/irc.sh", u"/tmp/josé/irc.sh", u"/tmp/\U0001F600", u"/tmp/ツール/irc"}) {
        const QString text = QString::fromUtf16(name);
        EXPECT_EQ(FileNameToQString(FileNameFromQString(text)), text) << text.toStdString();
    }
    // A name Shift_JIS holds stays Shift_JIS, as stored names always were.
    EXPECT_EQ(Hex(FileNameFromQString(QString::fromUtf16(u"ツ"))), Hex("\x83\x63"));
    EXPECT_EQ(Hex(FileNameFromQString(QString::fromUtf16(u"é"))), Hex("\xEF\xBB\xBF\xC3\xA9"));
    EXPECT_TRUE(IsUtf8FileName(FileNameFromQString(QString::fromUtf16(u"〜"))));
}

TEST(AnsiString, ControlsGiveBackWhatTheyWereGiven)
{
    TForm form(nullptr);
    TEdit edit(nullptr, &form);
    TEdit path(nullptr, &form);
    path.SetHoldsFileName(true);
    TMemo memo(nullptr, &form);
    TRichEdit log(nullptr, &form);
    std::string lineFree; // the memo and the log hold lines: no line ends inside
    for (char c : AllBytes())
        if (c != '\r' && c != '\n')
            lineFree += c;
    for (const std::string& s : {AllBytes(), std::string("host\xFF\x80.jp"), std::string("abc\x81"),
             std::string(40000, 'x') + "\xFF"}) {
        edit.SetText(s);
        EXPECT_EQ(Hex(edit.Text()), Hex(s));
        path.SetText(s);
        EXPECT_EQ(Hex(path.Text()), Hex(s));
    }
    memo.SetText(lineFree + "\r\n" + "abc\x81");
    EXPECT_EQ(Hex(memo.Text()), Hex(lineFree + "\n" + "abc\x81"));
    log.AddLine(lineFree);
    EXPECT_EQ(Hex(log.LineText(log.LineTextCount() - 1)), Hex(lineFree));
    // What the user types into the path edit comes out as that name.
    static_cast<QLineEdit*>(path.Widget())->setText(QString::fromUtf16(u"/tmp/josé/irc.sh"));
    EXPECT_EQ(FileNameToQString(path.Text()), QString::fromUtf16(u"/tmp/josé/irc.sh"));
}

} // namespace
