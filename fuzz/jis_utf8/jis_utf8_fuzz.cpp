// Utf8ToJis and JapaneseToUtf8 over arbitrary bytes. Whatever comes in:
// - JapaneseToUtf8 writes well-formed UTF-8;
// - Utf8ToJis of well-formed UTF-8 writes 7-bit JIS whose last run is closed;
// - neither adds an LF to a line that had no CR or LF, so a converted line
//   never becomes two lines.
#include "kanji/jis_utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

bool HasLineEnd(const std::string& s)
{
    return s.find_first_of("\r\n") != std::string::npos;
}

// True when the text ends outside an ESC $ B run.
bool EndsInAscii(const std::string& jis)
{
    size_t in = jis.rfind("\x1B$B");
    return in == std::string::npos || jis.find("\x1B(B", in) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string line(reinterpret_cast<const char*>(Data), Size);
    const bool hadLineEnd = HasLineEnd(line);
    int replaced = 0;

    std::string utf8;
    const std::string& toClient = JapaneseToUtf8(utf8, line, replaced);
    Require(IsUtf8(toClient));
    Require(replaced >= 0);
    Require(hadLineEnd || toClient.find('\n') == std::string::npos);

    std::string jis;
    Utf8ToJis(jis, line, replaced);
    Require(hadLineEnd || jis.find('\n') == std::string::npos);
    if (IsUtf8(line)) {
        for (char c : jis)
            Require(static_cast<unsigned char>(c) < 0x80);
        if (line.find('\x1B') == std::string::npos)
            Require(EndsInAscii(jis));
    }
    return 0;
}
