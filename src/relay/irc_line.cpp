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


const AnsiString& TIrcMessage::Param(size_t Index) const
{
    static const AnsiString none;
    return Index < Params.size() ? Params[Index] : none;
}

AnsiString TIrcMessage::Nick() const
{
    return Prefix.substr(0, std::min(Prefix.find('!'), Prefix.size()));
}

bool TIrcMessage::FromUser() const
{
    return Prefix.find('!') != AnsiString::npos;
}

AnsiString TIrcMessage::Tag(const AnsiString& Key) const
{
    for (size_t at = 0; at < Tags.size();) {
        const size_t end = std::min(Tags.find(';', at), Tags.size());
        const size_t eq = std::min(Tags.find('=', at), end);
        if (Tags.compare(at, eq - at, Key) == 0 && eq - at == Key.size())
            return eq < end ? Tags.substr(eq + 1, end - eq - 1) : AnsiString();
        at = end + 1;
    }
    return {};
}

std::ostream& operator<<(std::ostream& Out, const TIrcMessage& Message)
{
    Out << "{tags ";
    WriteQuoted(Out, Message.Tags);
    Out << ", prefix ";
    WriteQuoted(Out, Message.Prefix);
    Out << ", command ";
    WriteQuoted(Out, Message.Command);
    Out << ", params [";
    for (const AnsiString& param : Message.Params) {
        WriteQuoted(Out, param);
        Out << ' ';
    }
    return Out << "], trailing " << Message.Trailing << '}';
}

namespace {

// The next word of Line from At on, blanks before it skipped; At ends past it.
AnsiString NextWord(const AnsiString& Line, size_t& At)
{
    At = std::min(Line.find_first_not_of(' ', At), Line.size());
    const size_t end = std::min(Line.find(' ', At), Line.size());
    AnsiString word = Line.substr(At, end - At);
    At = end;
    return word;
}

} // namespace

TIrcMessage ParseIrcLine(const AnsiString& Line)
{
    TIrcMessage m;
    size_t at = 0;
    if (!Line.empty() && Line[0] == '@')
        m.Tags = NextWord(Line, at).substr(1);
    at = std::min(Line.find_first_not_of(' ', at), Line.size());
    if (at < Line.size() && Line[at] == ':')
        m.Prefix = NextWord(Line, at).substr(1);
    m.Command = AnsiUpperAscii(NextWord(Line, at));
    while (true) {
        at = std::min(Line.find_first_not_of(' ', at), Line.size());
        if (at == Line.size())
            break;
        if (Line[at] == ':') {
            m.Params.push_back(Line.substr(at + 1));
            m.Trailing = true;
            break;
        }
        m.Params.push_back(NextWord(Line, at));
    }
    return m;
}

AnsiString ComposeIrcLine(const TIrcMessage& Message)
{
    AnsiString line;
    if (!Message.Tags.empty())
        line += "@" + Message.Tags + " ";
    if (!Message.Prefix.empty() || Message.Command.starts_with(':') || Message.Command.starts_with('@'))
        line += ":" + Message.Prefix + " "; // even an empty one, so that such a command stays the command
    line += Message.Command;
    for (size_t i = 0; i < Message.Params.size(); ++i) {
        const AnsiString& param = Message.Params[i];
        const bool last = i + 1 == Message.Params.size();
        const bool colon = last && (Message.Trailing || param.empty() || param[0] == ':' ||
                                    param.find(' ') != AnsiString::npos);
        line += (colon ? " :" : " ") + param;
    }
    return line;
}

TCaseMapping CaseMappingNamed(const AnsiString& Value)
{
    const AnsiString lower = AnsiLowerCase(Value);
    if (lower == "ascii")
        return TCaseMapping::Ascii;
    if (lower == "strict-rfc1459")
        return TCaseMapping::StrictRfc1459;
    return TCaseMapping::Rfc1459;
}

const char* CaseMappingName(TCaseMapping Mapping)
{
    switch (Mapping) {
    case TCaseMapping::Ascii:
        return "ascii";
    case TCaseMapping::StrictRfc1459:
        return "strict-rfc1459";
    case TCaseMapping::Rfc1459:
        break;
    }
    return "rfc1459";
}

AnsiString FoldName(const AnsiString& Name, TCaseMapping Mapping)
{
    AnsiString folded = Name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (Mapping != TCaseMapping::Ascii && (c == '[' || c == ']' || c == '\\'))
            c = static_cast<char>(c + 0x20); // [ ] \ fold to { } |
        else if (Mapping == TCaseMapping::Rfc1459 && c == '^')
            c = '~';
    }
    return folded;
}

bool IsChannelName(const AnsiString& Target, const AnsiString& ChanTypes)
{
    return !Target.empty() && ChanTypes.find(Target[0]) != AnsiString::npos;
}

bool IsHttpRequestLine(const AnsiString& Line)
{
    const TIrcMessage m = ParseIrcLine(Line);
    const bool method = !m.Command.empty() && std::all_of(m.Command.begin(), m.Command.end(), [](char c) {
        return c >= 'A' && c <= 'Z';
    });
    return method && m.Tags.empty() && m.Prefix.empty() && m.Params.size() == 2 && !m.Trailing &&
           m.Params[1].compare(0, 7, "HTTP/1.") == 0 && Line.compare(0, m.Command.size(), m.Command) == 0;
}
