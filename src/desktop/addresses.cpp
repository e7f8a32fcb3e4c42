// The address boxes: the decimal forms of the local and global addresses
// that the relay's address rewrite uses, recomputed and logged on each change.
#include "desktop/addresses.h"

#include "relay/main_window.h"

#include <cstdint>
#include <optional>

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hexValue(char c)
{
    return c <= '9' ? unsigned(c - '0') : (unsigned(c | 0x20) - 'a' + 10);
}

// Hexadecimal digits after "$", "x" or "0x": up to eight significant digits.
std::optional<std::uint32_t> readHex(const AnsiString& digits)
{
    if (digits.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (!isHexDigit(c))
            return std::nullopt;
        value = value * 16 + hexValue(c);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Decimal digits with an optional sign, within the signed 32-bit range.
std::optional<std::uint32_t> readDecimal(const AnsiString& text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value > 2147483647LL)
        return std::nullopt;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

// One number of a dotted address: blanks before it are skipped, nothing may
// follow it.
std::optional<std::uint32_t> readNumber(const AnsiString& text)
{
    size_t start = text.find_first_not_of(' ');
    if (start == AnsiString::npos)
        return std::nullopt;
    AnsiString number = text.substr(start);
    if (number[0] == '$' || number[0] == 'x' || number[0] == 'X')
        return readHex(number.substr(1));
    if (number.size() >= 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X'))
        return readHex(number.substr(2));
    return readDecimal(number);
}

} // namespace

AnsiString AddressToDecimal(const AnsiString& Text)
{
    AnsiString rest = Text;
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? rest.find('.') : AnsiString::npos;
        if (part < 3 && dot == AnsiString::npos)
            return "0"; // fewer than three dots
        std::optional<std::uint32_t> number = readNumber(rest.substr(0, dot));
        if (!number)
            return "0";
        value = value * 256 + *number; // modulo 2^32: big or negative parts spill over
        rest = part < 3 ? rest.substr(dot + 1) : AnsiString();
    }
    return std::to_string(value);
}

void TNimboChat::LocalEditChange(TObject*)
{
    LocalAddress = AddressToDecimal(LocalEdit->Text());
    AddLog("LocalAddress[" + LocalEdit->Text() + "] is [" + LocalAddress + "]", clBlue, false);
}

// The rewrite takes the new address at once. A text the program sets is
// logged at once too; typing 203.0.113.1 passes through ten texts on the
// way, so a typed one is logged once the typing has settled.
void TNimboChat::GlobalEditChange(TObject*)
{
    GlobalAddress = AddressToDecimal(GlobalEdit->Text());
    if (GlobalEdit->Typed())
        GlobalSettleTimer->SetEnabled(true); // (re)started
    else
        LogGlobalAddress();
}

void TNimboChat::SettleGlobalAddress()
{
    if (GlobalSettleTimer->Enabled())
        LogGlobalAddress();
}

void TNimboChat::LogGlobalAddress()
{
    GlobalSettleTimer->SetEnabled(false);
    AddLog("GlobalAddress[" + GlobalEdit->Text() + "] is [" + GlobalAddress + "]", clBlue, false);
}
