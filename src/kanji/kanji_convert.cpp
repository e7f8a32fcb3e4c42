#include "kanji/kanji_convert.h"

#include "kanji/sjis_bytes.h"

#include <cstring>
#include <new>
#include <stdexcept>

const unsigned short KanaToJisTable[64] = {
    0x2121, 0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529, 0x2563, 0x2565,
    0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F, 0x2531, 0x2533, 0x2535,
    0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E,
    0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,
};

namespace {

KanjiErrorHandler errorHandler = nullptr;

constexpr unsigned char ESC = 0x1B;
constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;

inline unsigned hi(unsigned short code) { return code >> 8; }
inline unsigned lo(unsigned short code) { return code & 0xFF; }
inline unsigned short make(unsigned h, unsigned l) { return static_cast<unsigned short>(((h & 0xFF) << 8) | (l & 0xFF)); }

enum class Run { Ascii, Jis, Sjis, Euc };

// Both bytes of a JIS X 0208 code lie in 0x21-0x7E.
bool inJisRows(unsigned short code)
{
    auto inRow = [](unsigned b) { return b >= 0x21 && b <= 0x7E; };
    return inRow(code >> 8) && inRow(code & 0xFF);
}

bool isSjisPair(unsigned char a, unsigned char b)
{
    return IsSjisLeadByte(a) && IsSjisTrailByte(b);
}

bool isEucPair(unsigned char a, unsigned char b)
{
    if (a == 0x8E)
        return b >= 0xA0 && b <= 0xDF;
    return a >= 0xA1 && a <= 0xFE && b >= 0xA1 && b <= 0xFE;
}

// One conversion: the input, its position and the output being written.
class Converter {
public:
    Converter(const unsigned char* in, size_t n, int inCode, int outCode, bool crlf, unsigned char* out)
        : FIn(in), FN(n), FInCode(inCode), FOutCode(outCode), FCrLf(crlf), FOut(out)
    {
    }

    size_t Run()
    {
        while (FPos < FN) {
            if (FRun == Run::Jis)
                JisRunStep();
            else
                OtherStep();
        }
        return FLen;
    }

private:
    size_t Remaining() const { return FN - FPos; }
    unsigned char At(size_t offset) const { return FIn[FPos + offset]; }
    void Put(unsigned char c) { FOut[FLen++] = c; }
    void PutCode(unsigned short code) { Put(static_cast<unsigned char>(hi(code))); Put(static_cast<unsigned char>(lo(code))); }
    void PutEscape(char a, char b) { Put(ESC); Put(static_cast<unsigned char>(a)); Put(static_cast<unsigned char>(b)); }
    bool Follows(char a, char b) const { return At(1) == static_cast<unsigned char>(a) && At(2) == static_cast<unsigned char>(b); }

    void JisRunStep()
    {
        unsigned char c = At(0);
        if (c == ESC) {
            if (Remaining() >= 3 && (Follows('(', 'B') || Follows('(', 'J'))) {
                if (FOutCode == kcJis)
                    PutEscape('(', 'B');
                FRun = Run::Ascii;
                FPos += 3;
            } else {
                Put(c);
                FPos += 1;
            }
            return;
        }
        if (Remaining() < 2) {
            Put(c);
            FPos += 1;
            return;
        }
        unsigned short code = make(c, At(1));
        // A pair with a byte of 0x80 or above is no 7-bit JIS code: converted
        // to Shift_JIS by the arithmetic it could give control bytes (an LF
        // among them), so its bytes are copied.
        if (FOutCode == kcShiftJis && (code & 0x8080) == 0)
            code = JisToSjis(code);
        else if (FOutCode == kcEuc)
            code = JisToEuc(code);
        PutCode(code);
        FPos += 2;
    }

    void OtherStep()
    {
        if (TryJisEscape() || TrySjisPair() || TryEucPair())
            return;
        SingleByte();
    }

    bool TryJisEscape()
    {
        if ((FInCode != kcDetect && FInCode != kcJis) || At(0) != ESC)
            return false;
        if (Remaining() < 3) {
            Put(ESC);
            FPos += 1;
            return true;
        }
        if (!Follows('$', 'B') && !Follows('$', '@'))
            return false;
        if (FOutCode == kcJis)
            PutEscape('$', 'B');
        FRun = Run::Jis;
        FInCode = kcJis;
        FPos += 3;
        return true;
    }

    // Writes the entering escape when a two-byte run starts from ASCII.
    void EnterRun(::Run run)
    {
        if (FRun != Run::Ascii)
            return;
        if (FOutCode == kcJis)
            PutEscape('$', 'B');
        FRun = run;
    }

    bool TrySjisPair()
    {
        if ((FInCode != kcDetect && FInCode != kcShiftJis) || Remaining() < 2 || !isSjisPair(At(0), At(1)))
            return false;
        FInCode = kcShiftJis;
        EnterRun(Run::Sjis);
        unsigned short code = make(At(0), At(1));
        // A pair beyond the rows of JIS X 0208 (the user-defined area, lead
        // 0xF0 and up) has no JIS form: the arithmetic would give control
        // bytes or NUL, which end lines or the text. Its bytes are copied.
        if (FOutCode == kcJis && inJisRows(SjisToJis(code)))
            code = SjisToJis(code);
        else if (FOutCode == kcEuc && inJisRows(SjisToJis(code)))
            code = SjisToEuc(code);
        PutCode(code);
        FPos += 2;
        return true;
    }

    bool TryEucPair()
    {
        if ((FInCode != kcDetect && FInCode != kcEuc) || Remaining() < 2 || !isEucPair(At(0), At(1)))
            return false;
        FInCode = kcEuc;
        EnterRun(Run::Euc);
        unsigned short code = make(At(0), At(1));
        switch (FOutCode) {
        case kcJis: code = EucToJis(code); break;
        case kcShiftJis: code = EucToSjis(code); break;
        default: break;
        }
        PutCode(code);
        FPos += 2;
        return true;
    }

    void SingleByte()
    {
        if (FRun != Run::Ascii) {
            if (FOutCode == kcJis)
                PutEscape('(', 'B');
            FRun = Run::Ascii;
        }
        unsigned char c = At(0);
        if (c == CR || c == LF) {
            FPos += (c == CR && Remaining() >= 2 && At(1) == LF) ? 2 : 1;
            if (FCrLf)
                Put(CR);
            Put(LF);
            return;
        }
        Put(c);
        FPos += 1;
    }

    const unsigned char* FIn;
    size_t FN;
    size_t FPos = 0;
    int FInCode;
    int FOutCode;
    bool FCrLf;
    unsigned char* FOut;
    size_t FLen = 0;
    ::Run FRun = Run::Ascii;
};

// JIS to Shift_JIS, the direction of every line the relay receives, in a
// loop of its own. The input code is JIS, so only escapes and line ends
// outside a run are looked at; the output is the stepwise rules' own.
class JisToShiftJis {
public:
    JisToShiftJis(const unsigned char* in, size_t n, bool crlf, unsigned char* out)
        : FIn(in), FN(n), FCrLf(crlf), FOut(out)
    {
    }

    size_t Run()
    {
        while (FPos < FN) {
            AsciiRun();
            KanjiRun();
        }
        return FLen;
    }

private:
    bool Escape(char a, char b, char c) const
    {
        return FN - FPos >= 3 && FIn[FPos + 1] == static_cast<unsigned char>(a) &&
               (FIn[FPos + 2] == static_cast<unsigned char>(b) || FIn[FPos + 2] == static_cast<unsigned char>(c));
    }

    // Up to the escape that enters a JIS run (consumed) or the end.
    void AsciiRun()
    {
        while (FPos < FN) {
            const unsigned char c = FIn[FPos];
            if (c != ESC && c != CR && c != LF) {
                FOut[FLen++] = c;
                ++FPos;
            } else if (c == ESC && Escape('$', 'B', '@')) {
                FPos += 3;
                return;
            } else if (c == ESC) {
                FOut[FLen++] = c;
                ++FPos;
            } else {
                FPos += (c == CR && FN - FPos >= 2 && FIn[FPos + 1] == LF) ? 2 : 1;
                if (FCrLf)
                    FOut[FLen++] = CR;
                FOut[FLen++] = LF;
            }
        }
    }

    // Up to the escape that leaves the run (consumed) or the end.
    void KanjiRun()
    {
        while (FPos < FN) {
            const unsigned char c = FIn[FPos];
            if (c == ESC && Escape('(', 'B', 'J')) {
                FPos += 3;
                return;
            }
            if (c == ESC || FN - FPos < 2) {
                FOut[FLen++] = c;
                ++FPos;
                continue;
            }
            unsigned short code = make(c, FIn[FPos + 1]);
            // Pairs with a byte of 0x80 or above are copied, as in the stepwise rules.
            if ((code & 0x8080) == 0)
                code = JisToSjis(code);
            FOut[FLen++] = static_cast<unsigned char>(hi(code));
            FOut[FLen++] = static_cast<unsigned char>(lo(code));
            FPos += 2;
        }
    }

    const unsigned char* FIn;
    size_t FN;
    size_t FPos = 0;
    bool FCrLf;
    unsigned char* FOut;
    size_t FLen = 0;
};

using Pass = size_t (*)(const unsigned char* In, size_t N, int InCode, int OutCode, bool CrLf, unsigned char* Out);

// The most output bytes a pass writes per input byte: a stepwise step reads
// at least one byte and writes at most five; JIS to Shift_JIS writes at most
// two (a line end CR LF for a lone CR or LF).
constexpr size_t StepwiseBound = 5;
constexpr size_t JisToShiftJisBound = 2;

size_t StepwisePass(const unsigned char* In, size_t N, int InCode, int OutCode, bool CrLf, unsigned char* Out)
{
    return Converter(In, N, InCode, OutCode, CrLf, Out).Run();
}

size_t JisToShiftJisPass(const unsigned char* In, size_t N, int, int, bool CrLf, unsigned char* Out)
{
    return JisToShiftJis(In, N, CrLf, Out).Run();
}

// Runs one pass over Text (up to its first NUL) into an output sized for
// the worst case, which is Result's own memory unless Text is Result.
const AnsiString& ConvertWith(Pass pass, size_t Bound, AnsiString& Result, const AnsiString& Text, int InCode, int OutCode, int CrLf)
{
    try {
        size_t n = Text.find('\0');
        if (n == AnsiString::npos)
            n = Text.size();
        AnsiString own;
        AnsiString& out = &Result == &Text ? own : Result;
        try {
            out.resize(Bound * n + 8);
        } catch (const std::bad_alloc&) {
            throw std::runtime_error("MEMORY ERROR");
        }
        size_t length = pass(reinterpret_cast<const unsigned char*>(Text.data()), n, InCode, OutCode,
                             (CrLf & 0xFF) != 0, reinterpret_cast<unsigned char*>(out.data()));
        const void* nul = std::memchr(out.data(), 0, length);
        out.resize(nul ? static_cast<size_t>(static_cast<const char*>(nul) - out.data()) : length);
        if (&out == &own)
            Result = std::move(own);
    } catch (const std::exception& error) {
        if (errorHandler)
            errorHandler(error);
        Result.clear();
    }
    return Result;
}

} // namespace

void SetKanjiErrorHandler(KanjiErrorHandler Handler)
{
    errorHandler = Handler;
}

const AnsiString& KanjiConvert(AnsiString& Result, const AnsiString& Text, int InCode, int OutCode, int CrLf)
{
    if (InCode == kcJis && OutCode == kcShiftJis)
        return ConvertWith(JisToShiftJisPass, JisToShiftJisBound, Result, Text, InCode, OutCode, CrLf);
    return ConvertWith(StepwisePass, StepwiseBound, Result, Text, InCode, OutCode, CrLf);
}

const AnsiString& KanjiConvertStepwise(AnsiString& Result, const AnsiString& Text, int InCode, int OutCode, int CrLf)
{
    return ConvertWith(StepwisePass, StepwiseBound, Result, Text, InCode, OutCode, CrLf);
}

unsigned short SjisToJis(unsigned short Code)
{
    unsigned s1 = hi(Code), s2 = lo(Code);
    unsigned t2 = s2 <= 0x7E ? s2 - 0x1F : s2 <= 0x9E ? s2 - 0x20 : s2 - 0x7E;
    unsigned t1 = 2 * s1 + 0x1F + (s2 >= 0x9F ? 1 : 0);
    return make(t1, t2) & 0x7F7F;
}

unsigned short JisToSjis(unsigned short Code)
{
    unsigned j1 = hi(Code), j2 = lo(Code);
    unsigned s2 = (j1 & 1) ? (j2 < 0x60 ? j2 + 0x1F : j2 + 0x20) : j2 + 0x7E;
    unsigned s1 = ((((((j1 + 1) & 0xFF) / 2) + 0x50) | 0x40) + 0x20);
    return make(s1, s2);
}

unsigned short JisToEuc(unsigned short Code)
{
    return Code | 0x8080;
}

unsigned short EucToJis(unsigned short Code)
{
    if (hi(Code) == 0x8E)
        return KanaToJis(static_cast<unsigned char>(lo(Code)));
    return Code & 0x7F7F;
}

unsigned short SjisToEuc(unsigned short Code)
{
    return SjisToJis(Code) | 0x8080;
}

unsigned short EucToSjis(unsigned short Code)
{
    return JisToSjis(EucToJis(Code));
}

unsigned short KanaToJis(unsigned char Byte)
{
    return (Byte >= 0xA0 && Byte <= 0xDF) ? KanaToJisTable[Byte - 0xA0] : 0;
}
