#include "support/Zyrene.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>

TCounter::TCounter() : FMaxVal(9999), FAddVal(1), FCount(0) {}

TCounter::TCounter(int maxVal) : FMaxVal(std::max(maxVal, 1)), FAddVal(1), FCount(0) {}

TCounter::TCounter(int maxVal, int addVal) : FMaxVal(std::max(maxVal, 1)), FAddVal(0), FCount(0)
{
    SetAddVal(addVal);
}

void TCounter::SetMaxVal(int value)
{
    FMaxVal = std::max(value, 1);
    FAddVal = std::min(FAddVal, FMaxVal);
    FCount = std::min(FCount, FMaxVal - 1);
}

void TCounter::SetAddVal(int value)
{
    FAddVal = std::clamp(value, 0, FMaxVal);
}

void TCounter::SetCount(int value)
{
    FCount = std::min(value, FMaxVal);
}

namespace {

// The 32-bit value of a sum or difference that may lie outside int: reduced
// modulo 2^32, as the counter's fields have always wrapped.
std::int32_t Wrap32(std::int64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

} // namespace

bool TCounter::AddVal(int value)
{
    const std::int64_t sum = std::int64_t{FCount} + value;
    const bool wrapped = sum >= FMaxVal;
    FCount = Wrap32(wrapped ? sum - FMaxVal : sum);
    return wrapped;
}

bool TCounter::SubVal(int value)
{
    const std::int64_t rest = std::int64_t{FCount} - value;
    FCount = rest < 0 ? 0 : Wrap32(rest);
    return rest < 0;
}

TRandom::TRandom() : FPos(0), FLagPos(7)
{
    FTable[31] = 1;
    FTable[30] = 2;
    for (int i = 29; i >= 0; --i)
        FTable[i] = static_cast<std::uint16_t>(FTable[i + 1] + FTable[i + 2]);
}

std::uint16_t TRandom::Rnd()
{
    std::uint16_t r = static_cast<std::uint16_t>(FTable[FPos] + FTable[FLagPos]);
    FTable[FPos] = r;
    FPos = (FPos + 31) % 32;
    FLagPos = (FLagPos + 31) % 32;
    return r;
}

int TRandom::Random(int n)
{
    if (n < 1)
        return -1;
    unsigned mask = 0;
    for (unsigned v = static_cast<unsigned>(n) - 1; v > 0; v /= 2)
        mask = mask * 2 + 1;
    mask &= 0xFFFF;
    for (;;) {
        int r = static_cast<int>(Rnd() & mask);
        if (r < n)
            return r;
    }
}

int TRandom::NormalDistribution(int n)
{
    if (n <= 1 || n >= 256)
        return 0;
    int s = Rnd();
    s += Rnd();
    s += Rnd();
    return s * (2 * n + 1) / 196606 - n;
}

namespace {

// Zyrene's own rule for the first byte of a double-byte character (0x80 too,
// and no lead at 0xF0 or above): not the Shift_JIS lead byte test.
bool isDoubleByteLead(unsigned char c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF);
}

AnsiString formatOne(const char* format, ...)
{
    char buffer[256];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    AnsiString text;
    if (n >= static_cast<int>(sizeof buffer)) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    } else if (n > 0) {
        text.assign(buffer, static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

} // namespace

char* hstrncpy(char* dst, const char* src, unsigned int n, bool comma)
{
    unsigned copied = 0;
    while (copied < n) {
        unsigned char c = static_cast<unsigned char>(src[copied]);
        if (c == 0 || c == '\r' || (comma && c == ','))
            break;
        if (isDoubleByteLead(c)) {
            if (copied + 2 > n || src[copied + 1] == 0)
                break;
            dst[copied] = src[copied];
            ++copied;
        }
        dst[copied] = src[copied];
        ++copied;
    }
    dst[copied] = 0;
    return dst;
}

AnsiString Ansiprintf(const char* format, int value)
{
    return formatOne(format, value);
}

AnsiString Ansiprintf(const char* format, const char* value)
{
    return formatOne(format, value);
}

bool FileIsExist(const char* name)
{
    struct stat st;
    return name && stat(name, &st) == 0 && !S_ISDIR(st.st_mode);
}
