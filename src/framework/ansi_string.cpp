// The Qt boundary. Both directions go through tables built once from glibc's
// CP932 converter. A character enters the tables only when its bytes decode
// to one UTF-16 unit that encodes back to the same bytes; so the decoder
// never produces a character whose bytes would change on the way back (the
// NEC and IBM duplicates of CP932, for instance, keep their own bytes as
// reserved code points). Everything else is a byte of its own.
#include "framework/ansi_string.h"

#include "kanji/sjis_bytes.h"

#include <QString>
#include <array>
#include <iconv.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr char16_t NoChar = 0xFFFF; // never a decoded character

// One character through iconv: the UTF-16 unit its bytes decode to, or
// NoChar when they do not decode to exactly one unit.
char16_t DecodeOne(iconv_t cd, const std::string& bytes)
{
    char16_t out[2];
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* outPtr = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
        outLeft != sizeof out - sizeof(char16_t))
        return NoChar;
    return out[0];
}

// The CP932 bytes of one UTF-16 unit, or "" when CP932 has none.
std::string EncodeOne(iconv_t cd, char16_t c)
{
    char out[4];
    char* in = reinterpret_cast<char*>(&c);
    size_t inLeft = sizeof c;
    char* outPtr = out;
    size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
        return {};
    return std::string(out, sizeof out - outLeft);
}

// The CP932 bytes of a character typed that has no entry of its own; CP932
// holds some characters only one way (U+301C WAVE DASH becomes 0x8160, which
// reads back as U+FF5E). "?" when it holds none.
std::string EncodeOneWay(char16_t c)
{
    iconv_t cd = iconv_open("CP932", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return "?";
    std::string bytes = EncodeOne(cd, c);
    iconv_close(cd);
    return bytes.empty() ? "?" : bytes;
}

struct Tables {
    std::array<char16_t, 256> Single{};
    std::vector<char16_t> Double = std::vector<char16_t>(256 * 256, NoChar); // lead * 256 + trail
    std::unordered_map<char16_t, std::string> Encode; // every character the decoder gives

    Tables()
    {
        iconv_t from = iconv_open("UTF-16LE", "CP932");
        iconv_t to = iconv_open("CP932", "UTF-16LE");
        Single.fill(NoChar);
        if (from == reinterpret_cast<iconv_t>(-1) || to == reinterpret_cast<iconv_t>(-1))
            return; // every byte becomes a byte code point, which still round-trips
        for (int b = 0; b < 256; ++b)
            if (!IsSjisLeadByte(static_cast<unsigned char>(b)))
                Single[static_cast<size_t>(b)] = Learn(from, to, std::string(1, static_cast<char>(b)));
        for (int lead = 0x81; lead <= 0xFC; ++lead)
            for (int trail = 0x40; trail <= 0xFC; ++trail)
                if (IsSjisLeadByte(static_cast<unsigned char>(lead)) && IsSjisTrailByte(static_cast<unsigned char>(trail)))
                    Double[static_cast<size_t>(lead * 256 + trail)] =
                        Learn(from, to, {static_cast<char>(lead), static_cast<char>(trail)});
        iconv_close(from);
        iconv_close(to);
    }

    char16_t Learn(iconv_t from, iconv_t to, const std::string& bytes)
    {
        char16_t c = DecodeOne(from, bytes);
        if (c == NoChar || IsByteCodePoint(c) || EncodeOne(to, c) != bytes)
            return NoChar;
        Encode.emplace(c, bytes);
        return c;
    }

    std::string EncodeTyped(char16_t c) const
    {
        auto it = Encode.find(c);
        if (it != Encode.end())
            return it->second;
        if (IsByteCodePoint(c))
            return std::string(1, static_cast<char>(c - ByteCodePoints));
        return EncodeOneWay(c);
    }
};

const Tables& Cp932()
{
    static const Tables tables;
    return tables;
}

// A lone surrogate or a character outside the BMP, which CP932 never holds.
bool IsSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

} // namespace

namespace {

// Calls Unit with each UTF-16 unit that ToQString makes of the text, in order.
template <typename UnitHandler>
void ForEachUnit(const AnsiString& text, UnitHandler&& Unit)
{
    const Tables& t = Cp932();
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        char16_t c = t.Single[b];
        if (IsSjisLeadByte(b) && i + 1 < text.size()) {
            c = t.Double[b * 256u + static_cast<unsigned char>(text[i + 1])];
            i += c != NoChar ? 1 : 0;
        }
        Unit(c != NoChar ? c : static_cast<char16_t>(ByteCodePoints + b));
    }
}

} // namespace

QString ToQString(const AnsiString& text)
{
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    ForEachUnit(text, [&](char16_t c) { out += QChar(c); });
    return out;
}

size_t Utf16Length(const AnsiString& text)
{
    size_t units = 0;
    ForEachUnit(text, [&](char16_t) { ++units; });
    return units;
}

AnsiString FromQString(const QString& text)
{
    const Tables& t = Cp932();
    AnsiString out;
    out.reserve(static_cast<size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (IsSurrogate(c)) {
            out += '?';
            i += text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 1 : 0;
        } else {
            out += t.EncodeTyped(c);
        }
    }
    return out;
}

AnsiString FileNameFromQString(const QString& text)
{
    AnsiString sjis = FromQString(text);
    if (ToQString(sjis) == text)
        return sjis;
    QByteArray utf8 = text.toUtf8();
    return Utf8FileNameMark + std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

bool IsUtf8FileName(const AnsiString& name)
{
    return name.compare(0, 3, Utf8FileNameMark) == 0;
}

QString FileNameToQString(const AnsiString& name)
{
    if (IsUtf8FileName(name)) {
        QString text = QString::fromUtf8(name.data() + 3, static_cast<qsizetype>(name.size() - 3));
        if (FileNameFromQString(text) == name)
            return text;
    }
    return ToQString(name);
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
