#include "relay/irc_line.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace {

AnsiString After(const AnsiString& s, size_t pos)
{
    return pos == AnsiString::npos ? AnsiString() : s.substr(pos + 1);
}

void WriteQuoted(std::ostream& Out, const AnsiString& Bytes)
{
    Out << '"';
    for (unsigned char c : Bytes) {
        if (c == '"' || c == '\\') {
            Out << '\\' << c;
        } else if (c >= 0x20 && c <= 0x7E) {
            Out << c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            Out << hex;
        }
    }
    Out << '"';
}

} // namespace

std::ostream& operator<<(std::ostream& Out, const TIrcLine& Line)
{
    Out << "{prefix ";
    WriteQuoted(Out, Line.Prefix);
    Out << ", command ";
    WriteQuoted(Out, Line.Command);
    Out << ", params ";
    WriteQuoted(Out, Line.Params);
    return Out << '}';
}

TIrcLine SplitServerLine(const AnsiString& Display)
{
    TIrcLine line;
    AnsiString rest = Display;
    if (!Display.empty() && Display[0] == ':') {
        // A prefix with no blank after it is all prefix: the line has no command.
        size_t blank = Display.find(' ');
        line.Prefix = Display.substr(1, blank == AnsiString::npos ? AnsiString::npos : blank - 1);
        rest = After(Display, blank);
    }
    size_t blank = rest.find(' ');
    line.Command = AnsiUpperAscii(rest.substr(0, blank));
    line.Params = After(rest, blank);
    return line;
}

bool TakeLine(const AnsiString& Buffer, size_t& Start, AnsiString& Line)
{
    size_t lf = Buffer.find('\n', Start);
    if (lf == AnsiString::npos)
        return false;
    size_t end = (lf > Start && Buffer[lf - 1] == '\r') ? lf - 1 : lf;
    Line.assign(Buffer, Start, end - Start);
    Start = lf + 1;
    return true;
}

AnsiString OneLine(AnsiString Line)
{
    std::replace_if(Line.begin(), Line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return Line;
}

AnsiString MessageText(const AnsiString& Params)
{
    if (!Params.empty() && Params[0] == ':')
        return Params.substr(1);
    size_t blank = Params.find(' ');
    AnsiString text = blank == AnsiString::npos ? Params : Params.substr(blank + 1);
    if (!text.empty() && text[0] == ':')
        text.erase(0, 1);
    return text;
}

bool SameNick(const AnsiString& A, const AnsiString& B)
{
    return A.size() == B.size() && AnsiUpperAscii(A) == AnsiUpperAscii(B);
}
