#include "kanji/jis_pieces.h"

#include "kanji/jis_writer.h"

namespace {

constexpr char ESC = '\x1B';
constexpr size_t EscapeBytes = 3;

// One character of a JIS text: Size bytes at At, a pair when Wide.
struct JisChar {
    size_t At;
    size_t Size;
    bool Wide;
};

bool IsEscape(const AnsiString& Text, size_t At, char First, char Final)
{
    return At + 2 < Text.size() && Text[At] == ESC && Text[At + 1] == First && Text[At + 2] == Final;
}

// The characters of a JIS text; the escapes that open and close runs are
// not characters and are left out.
std::vector<JisChar> JisChars(const AnsiString& Text)
{
    std::vector<JisChar> chars;
    bool run = false;
    for (size_t i = 0; i < Text.size();) {
        if (IsEscape(Text, i, '$', 'B') || IsEscape(Text, i, '$', '@')) {
            run = true;
            i += EscapeBytes;
        } else if (IsEscape(Text, i, '(', 'B') || IsEscape(Text, i, '(', 'J')) {
            run = false;
            i += EscapeBytes;
        } else {
            size_t size = Text[i] == ESC && i + 2 < Text.size() ? EscapeBytes
                          : run && Text[i] != ESC && i + 1 < Text.size() ? 2
                                                                          : 1;
            chars.push_back({i, size, size == 2});
            i += size;
        }
    }
    return chars;
}

bool IsBlank(const AnsiString& Text, const JisChar& c)
{
    return c.Wide ? Text.compare(c.At, 2, "\x21\x21") == 0 : c.Size == 1 && Text[c.At] == ' ';
}

// The end of the piece that begins with character First: the most
// characters (at least one) whose bytes, with the escapes they need, take
// at most Room bytes; with PreferBlank an earlier end after a blank or
// where Japanese meets ASCII, as SplitJis says.
size_t PieceEnd(const AnsiString& Text, const std::vector<JisChar>& Chars, size_t First, size_t Room, bool PreferBlank)
{
    size_t used = 0, lastBreak = 0, usedAtBreak = 0;
    bool wide = false;
    size_t end = First;
    for (; end < Chars.size(); ++end) {
        const JisChar& c = Chars[end];
        if (end > First && c.Wide != wide) { // Japanese meets ASCII: no word is cut here
            lastBreak = end;
            usedAtBreak = used + (wide ? EscapeBytes : 0);
        }
        size_t grown = used + c.Size + (c.Wide != wide ? EscapeBytes : 0);
        if (end > First && grown + (c.Wide ? EscapeBytes : 0) > Room)
            break;
        used = grown;
        wide = c.Wide;
        if (IsBlank(Text, c)) {
            lastBreak = end + 1;
            usedAtBreak = used + (wide ? EscapeBytes : 0);
        }
    }
    if (PreferBlank && end < Chars.size() && lastBreak > First && usedAtBreak * 4 >= Room * 3)
        return lastBreak;
    return end;
}

AnsiString Piece(const AnsiString& Text, const std::vector<JisChar>& Chars, size_t First, size_t End)
{
    AnsiString piece;
    JisWriter out(piece);
    for (size_t k = First; k < End; ++k) {
        const JisChar& c = Chars[k];
        if (c.Wide) {
            out.Pair(static_cast<unsigned short>(static_cast<unsigned char>(Text[c.At]) << 8 |
                                                 static_cast<unsigned char>(Text[c.At + 1])));
        } else {
            for (size_t b = 0; b < c.Size; ++b)
                out.Ascii(Text[c.At + b]);
        }
    }
    out.End();
    return piece;
}

} // namespace

std::vector<AnsiString> SplitJis(const AnsiString& Text, size_t Room)
{
    const std::vector<JisChar> chars = JisChars(Text);
    std::vector<AnsiString> pieces;
    for (size_t first = 0; first < chars.size();) {
        size_t end = PieceEnd(Text, chars, first, Room, true);
        pieces.push_back(Piece(Text, chars, first, end));
        first = end;
    }
    return pieces;
}

AnsiString CutJis(const AnsiString& Text, size_t Room, int& Dropped)
{
    const std::vector<JisChar> chars = JisChars(Text);
    size_t end = chars.empty() ? 0 : PieceEnd(Text, chars, 0, Room, false);
    // The first character alone may not fit either.
    if (end == 1 && chars[0].Size + (chars[0].Wide ? 2 * EscapeBytes : 0) > Room)
        end = 0;
    Dropped = static_cast<int>(chars.size() - end);
    return Piece(Text, chars, 0, end);
}
