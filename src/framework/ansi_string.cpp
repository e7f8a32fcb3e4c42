#include "framework/ansi_string.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace {

// Converts a whole buffer with iconv. Where the input cannot be converted,
// `replacement` is written and `skipLength(rest)` input bytes are stepped over,
// so the conversion never stops early.
template <typename SkipLength>
std::string convertWhole(const char* to, const char* from, const std::string& in,
                         const std::string& replacement, SkipLength skipLength)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return in;
    std::string out;
    out.reserve(in.size() * 2 + 16);
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char chunk[4096];
    while (inLeft > 0) {
        char* outPtr = chunk;
        size_t outLeft = sizeof chunk;
        size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(chunk, static_cast<size_t>(outPtr - chunk));
        if (rc != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // EILSEQ or EINVAL: an invalid or cut-off sequence.
        out += replacement;
        size_t skip = std::clamp<size_t>(skipLength(static_cast<unsigned char>(*inPtr)), 1, inLeft);
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

size_t utf8SequenceLength(unsigned char lead)
{
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

} // namespace

QString ToQString(const AnsiString& text)
{
    std::string utf8 = convertWhole("UTF-8", "CP932", text, "\xEF\xBF\xBD", [](unsigned char) { return size_t{1}; });
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

AnsiString FromQString(const QString& text)
{
    QByteArray utf8 = text.toUtf8();
    std::string in(utf8.constData(), static_cast<size_t>(utf8.size()));
    return convertWhole("CP932", "UTF-8", in, "?", utf8SequenceLength);
}

AnsiString AnsiUpperAscii(AnsiString text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsSjisLeadByte(c) && i + 1 < text.size())
            ++i;
        else if (c >= 'a' && c <= 'z')
            text[i] = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

AnsiString AnsiLowerCase(AnsiString text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsSjisLeadByte(c) && i + 1 < text.size())
            ++i;
        else if (c >= 'A' && c <= 'Z')
            text[i] = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

AnsiString Sjis(const char* Utf8)
{
    return FromQString(QString::fromUtf8(Utf8));
}
