#include "relay/line_fit.h"

#include "kanji/jis_pieces.h"
#include "relay/irc_line.h"

#include <algorithm>

namespace {

// The least room for text in one piece: a pair in its escapes.
constexpr size_t LeastTextRoom = 8;

constexpr char CTCP = '\x01';

// A PRIVMSG or NOTICE in its parts: Head is everything up to and with the
// " :" before the text, Open and Close frame the text (a CTCP's 0x01 and
// query word), Text is what may be split or cut.
struct TMessage {
    AnsiString Head, Open, Text, Close;
};

size_t After(const AnsiString& s, size_t blank)
{
    return blank == AnsiString::npos ? s.size() : blank + 1;
}

// Splits a message line (without tags) into its parts; false when it has no
// text after its target.
bool SplitMessage(const AnsiString& Line, TMessage& Message)
{
    size_t command = !Line.empty() && Line[0] == ':' ? After(Line, Line.find(' ')) : 0;
    size_t target = Line.find(' ', command);
    size_t text = target == AnsiString::npos ? target : Line.find(' ', target + 1);
    if (text == AnsiString::npos)
        return false;
    Message.Head = Line.substr(0, text) + " :";
    Message.Text = Line.substr(text + 1);
    if (!Message.Text.empty() && Message.Text[0] == ':')
        Message.Text.erase(0, 1);
    if (Message.Text.empty() || Message.Text[0] != CTCP)
        return true;
    const AnsiString action = AnsiString(1, CTCP) + "ACTION ";
    Message.Open = Message.Text.compare(0, action.size(), action) == 0 ? action : AnsiString(1, CTCP);
    Message.Text.erase(0, Message.Open.size());
    if (!Message.Text.empty() && Message.Text.back() == CTCP) {
        Message.Close = AnsiString(1, CTCP);
        Message.Text.pop_back();
    }
    return true;
}

} // namespace

size_t LineRoom(const AnsiString& Prefix)
{
    const size_t kept = Prefix.empty() ? UnknownPrefixBytes : Prefix.size() + 2; // ":" and the blank
    return IrcLineBytes - 2 - std::min(kept, IrcLineBytes / 2);
}

size_t TagsEnd(const AnsiString& Line)
{
    return !Line.empty() && Line[0] == '@' ? After(Line, Line.find(' ')) : 0;
}

TFittedLine FitJisLine(const AnsiString& Line, size_t Room)
{
    const size_t tagsEnd = TagsEnd(Line);
    const AnsiString tags = Line.substr(0, tagsEnd), rest = Line.substr(tagsEnd);
    if (rest.size() <= Room)
        return {{Line}, {}, 0};
    TFittedLine fitted{{}, SplitServerLine(rest).Command, 0};
    TMessage m;
    const bool message = (fitted.Command == "PRIVMSG" || fitted.Command == "NOTICE") && SplitMessage(rest, m);
    const size_t frame = m.Head.size() + m.Open.size() + m.Close.size();
    if (!message || frame + LeastTextRoom > Room) {
        fitted.Lines.push_back(tags + CutJis(rest, Room, fitted.Cut));
    } else if (m.Open.size() == 1) { // a CTCP other than ACTION cannot be split
        fitted.Lines.push_back(tags + m.Head + m.Open + CutJis(m.Text, Room - frame, fitted.Cut) + m.Close);
    } else {
        for (const AnsiString& piece : SplitJis(m.Text, Room - frame))
            fitted.Lines.push_back((fitted.Lines.empty() ? tags : AnsiString()) + m.Head + m.Open + piece + m.Close);
    }
    return fitted;
}
