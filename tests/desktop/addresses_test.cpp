// The decimal form of an address, and the address boxes that log it.
#include "desktop/addresses.h"
#include "relay/probe.h"
#include "support_code/test_window.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <gtest/gtest.h>

namespace {

TEST(AddressToDecimal, Table)
{
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.0.1", "3232235521"}, {"1.2.3.4", "16909060"},     {"127.0.0.1", "2130706433"},
        {"256.1.1.1", "65793"},        {"1.2.3.300", "16909356"},   {"-1.0.0.0", "4278190080"},
        {"1.2.3", "0"},                {"1.2.3.4.5", "0"},          {"1..2.3", "0"},
        {"1.2.3.", "0"},               {" 1.2.3.4", "16909060"},    {"1.2.3.4 ", "0"},
        {"0x7f.0.0.1", "2130706433"},  {"$7F.0.0.1", "2130706433"}, {"x7f.X0.0.1", "2130706433"},
        {"", "0"},                     {"a.b.c.d", "0"},            {"1.2.3.+4", "16909060"},
        {"2147483648.0.0.0", "0"},     {"0xFFFFFFFF.0.0.0", "4278190080"},   {"0.0.0.0xFFFFFFFF", "4294967295"},
        {"0.0.0.0x", "0"},             {"1.2.3.4x", "0"},           {"0.0.0.-1", "4294967295"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(AddressToDecimal(text), expected) << "'" << text << "'";
}

TEST(AddressBoxes, EveryChangeIsLogged)
{
    auto window = StartTestWindow();
    TNimboChat& w = *window;
    for (const char* typed : {"1", "10", "10.", "10.0", "10.0.", "10.0.0", "10.0.0.", "10.0.0.2"})
        w.LocalEdit->SetText(typed);
    ASSERT_EQ(w.LogRichEdit->LineTextCount(), 8);
    EXPECT_EQ(w.LogRichEdit->LineText(0), "LocalAddress[1] is [0]");
    EXPECT_EQ(w.LogRichEdit->LineText(7), "LocalAddress[10.0.0.2] is [167772162]");
    EXPECT_EQ(w.LogRichEdit->LineColor(7), clBlue);
    EXPECT_EQ(NimboChatProbe::LocalAddress(w), "167772162");
    w.LocalEdit->SetText("10.0.0.2"); // the same text: no change
    EXPECT_EQ(w.LogRichEdit->LineTextCount(), 8);
    w.GlobalEdit->SetText("203.0.113.1");
    EXPECT_EQ(w.LogRichEdit->LineText(8), "GlobalAddress[203.0.113.1] is [3405803777]");
    EXPECT_EQ(NimboChatProbe::GlobalAddress(w), "3405803777");
}

int GlobalLogLines(TNimboChat& w)
{
    int lines = 0;
    for (int i = 0; i < w.LogRichEdit->LineTextCount(); ++i)
        lines += w.LogRichEdit->LineText(i).starts_with("GlobalAddress[");
    return lines;
}

// Typed key by key, the global address is taken at each key and logged once.
TEST(AddressBoxes, ATypedGlobalAddressIsLoggedOnceTheTypingSettles)
{
    auto window = StartTestWindow();
    TNimboChat& w = *window;
    auto* line = static_cast<QLineEdit*>(w.GlobalEdit->Widget());
    line->setFocus();
    std::string typed;
    for (char c : std::string("203.0.113.1")) {
        const int key = c == '.' ? Qt::Key_Period : Qt::Key_0 + (c - '0');
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(QChar(c)));
        QCoreApplication::sendEvent(line, &press);
        typed += c;
        ASSERT_EQ(w.GlobalEdit->Text(), typed);
        EXPECT_EQ(NimboChatProbe::GlobalAddress(w), AddressToDecimal(typed));
    }
    EXPECT_EQ(GlobalLogLines(w), 0);
    ASSERT_TRUE(WaitUntil([&] { return GlobalLogLines(w) > 0; }));
    EXPECT_EQ(GlobalLogLines(w), 1);
    EXPECT_EQ(w.LogRichEdit->LineText(w.LogRichEdit->LineTextCount() - 1),
        "GlobalAddress[203.0.113.1] is [3405803777]");
}

} // namespace
