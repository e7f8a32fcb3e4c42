// Zyrene: the support library's small tools: a wrap-around counter, a
// deterministic random number generator, a Shift_JIS-aware bounded string
// copy, a one-argument formatter and a file existence test.
#pragma once

#include "framework/ansi_string.h"

#include <cstdint>

// A counter modulo FMaxVal (at least 1) stepping by FAddVal (0 ... FMaxVal).
// The members keep their own limits: SetCount may reach FMaxVal itself,
// SetMaxVal keeps FCount below it, AddVal wraps once only, SubVal stops at 0.
// Sums and differences are compared exactly, also beyond the int range (a
// count near INT_MAX plus a step still wraps by FMaxVal); a result that
// still lies outside int afterwards is stored modulo 2^32.
class TCounter {
public:
    TCounter();
    explicit TCounter(int maxVal);
    TCounter(int maxVal, int addVal);

    void SetMaxVal(int value);
    void SetAddVal(int value);
    void SetCount(int value);
    int GetCount() const { return FCount; }
    // True when FCount reached FMaxVal and FMaxVal was taken off once.
    bool AddVal(int value);
    // True when FCount went below 0 and was set to 0.
    bool SubVal(int value);
    bool IncVal() { return AddVal(FAddVal); }
    bool DecVal() { return SubVal(FAddVal); }
    bool IsZero() const { return FCount == 0; }

    std::int32_t FMaxVal;
    std::int32_t FAddVal;
    std::int32_t FCount;
};

// An additive lagged-Fibonacci generator, x(n) = x(n-32) + x(n-7) mod 65536,
// from one fixed start: every new TRandom gives the same sequence, and a
// copy continues the sequence of its original.
class TRandom {
public:
    TRandom();

    std::uint16_t Rnd();
    // Uniform in 0 ... n-1; -1 (drawing nothing) when n < 1.
    int Random(int n);
    // Bell-shaped in -n ... n from three draws; 0 (drawing nothing) unless
    // 2 <= n <= 255.
    int NormalDistribution(int n);

    std::uint16_t FTable[32];
    std::int32_t FPos;
    std::int32_t FLagPos;
};
static_assert(sizeof(TRandom) == 72);

// Copies `src` into `dst` up to a zero byte, CR, a comma when `comma`, or
// `n` bytes, whichever comes first, and terminates it: `dst` must hold
// n + 1 bytes. A double-byte character (first byte 0x80-0x9F or 0xE0-0xEF)
// is copied whole or not at all; one cut off by the end of `src` is left
// out. Never reads past the terminating zero of `src`. Returns `dst`.
char* hstrncpy(char* dst, const char* src, unsigned int n, bool comma);

// printf formatting of one argument: `format` must take exactly one int or
// one text. The result is never cut.
AnsiString Ansiprintf(const char* format, int value);
AnsiString Ansiprintf(const char* format, const char* value);

// True when `name` names an existing file that is not a folder (read-only
// and hidden files included). Never shows anything and never opens the file.
bool FileIsExist(const char* name);
