// Staying connected without a chat client. With "StayCheck" on, a relay
// session whose client leaves goes on as the program's own session: it stays
// on the server and in its channels and keeps the chat lines the user would
// have seen. A client that connects then is attached: its registration is
// answered here, it gets the welcome, a JOIN with topic and names for each
// channel, and the kept lines with the time each arrived, then live lines.
#include "relay/irc_line.h"
#include "relay/main_window.h"

#include <QDateTime>

#include <algorithm>
#include <vector>

namespace {

// The name the program's own lines to an attaching client come from.
constexpr const char* OwnServerName = "nimbochat";

AnsiString FirstWord(const AnsiString& Text)
{
    AnsiString word = Text.substr(0, std::min(Text.find(' '), Text.size()));
    return !word.empty() && word[0] == ':' ? word.substr(1) : word;
}

AnsiString AfterFirstWord(const AnsiString& Text)
{
    size_t blank = Text.find(' ');
    return blank == AnsiString::npos ? AnsiString() : Text.substr(blank + 1);
}

// The trailing parameter: what follows " :" (or a leading ":"), else the
// last word.
AnsiString Trailing(const AnsiString& Params)
{
    if (!Params.empty() && Params[0] == ':')
        return Params.substr(1);
    size_t colon = Params.find(" :");
    if (colon != AnsiString::npos)
        return Params.substr(colon + 2);
    size_t blank = Params.rfind(' ');
    return blank == AnsiString::npos ? Params : Params.substr(blank + 1);
}

std::vector<AnsiString> SplitWords(const AnsiString& Text)
{
    std::vector<AnsiString> words;
    for (size_t at = 0; at < Text.size();) {
        size_t end = std::min(Text.find(' ', at), Text.size());
        if (end > at)
            words.push_back(Text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

bool IsChannel(const AnsiString& Target)
{
    return !Target.empty() && (Target[0] == '#' || Target[0] == '&' || Target[0] == '+' || Target[0] == '!');
}

bool IsWelcomeBurst(const AnsiString& Command)
{
    return Command == "001" || Command == "002" || Command == "003" || Command == "004" || Command == "005" ||
           Command == "376" || Command == "422";
}

// Where the message text of a kept line starts: after " :" behind the
// target, and after "\x01ACTION " in an action.
size_t TextStart(const AnsiString& Line)
{
    size_t from = !Line.empty() && Line[0] == ':' ? Line.find(' ') : 0;
    size_t colon = from == AnsiString::npos ? AnsiString::npos : Line.find(" :", from);
    if (colon == AnsiString::npos)
        return AnsiString::npos;
    size_t text = colon + 2;
    if (Line.compare(text, 8, "\x01" "ACTION ") == 0)
        text += 8;
    return text;
}

} // namespace

void TNimboChat::ResetStayState()
{
    Attach = atNone;
    OwnNick.clear();
    OwnPrefix.clear();
    Channels.clear();
    WelcomeBurst.clear();
    ServerCaps.clear();
    Kept.clear();
    KeptBytes = 0;
    PlaybackTimer->SetEnabled(false);
}

void TNimboChat::NoteSessionLine(const AnsiString& Received)
{
    const TIrcLine line = SplitServerLine(Received);
    const AnsiString nick = line.Prefix.substr(0, std::min(line.Prefix.find('!'), line.Prefix.size()));
    const bool own = !OwnNick.empty() && SameNick(nick, OwnNick);
    if (line.Command == "001")
        WelcomeBurst.clear();
    if (IsWelcomeBurst(line.Command) && WelcomeBurst.size() < MaxWelcomeLines)
        WelcomeBurst.push_back(Received);
    if (line.Command == "JOIN" && own) {
        const AnsiString channel = FirstWord(line.Params);
        if (std::find(Channels.begin(), Channels.end(), channel) == Channels.end())
            Channels.push_back(channel);
    }
    const bool kicked = line.Command == "KICK" && SameNick(FirstWord(AfterFirstWord(line.Params)), OwnNick);
    if ((line.Command == "PART" && own) || kicked)
        std::erase(Channels, FirstWord(line.Params));
    if (line.Command == "CAP" && FirstWord(AfterFirstWord(line.Params)) == "ACK")
        for (const AnsiString& cap : SplitWords(Trailing(line.Params)))
            if (cap[0] != '-' && std::find(ServerCaps.begin(), ServerCaps.end(), cap) == ServerCaps.end())
                ServerCaps.push_back(cap);
}

bool TNimboChat::IsKeptLine(const AnsiString& Received) const
{
    const TIrcLine line = SplitServerLine(Received);
    if (line.Prefix.find('!') == AnsiString::npos)
        return false; // the server's own notices are no chat
    const AnsiString target = FirstWord(line.Params);
    if (line.Command == "KICK")
        return SameNick(FirstWord(AfterFirstWord(line.Params)), OwnNick);
    if (line.Command != "PRIVMSG" && line.Command != "NOTICE")
        return false;
    const AnsiString text = MessageText(line.Params);
    const bool ctcpQuery = !text.empty() && text[0] == '\x01' && text.compare(0, 8, "\x01" "ACTION ") != 0;
    return !ctcpQuery && (IsChannel(target) || SameNick(target, OwnNick));
}

void TNimboChat::KeepLine(const AnsiString& Received)
{
    Kept.push_back({Received, QDateTime::currentMSecsSinceEpoch()});
    KeptBytes += Received.size();
    while (Kept.size() > KeptLineLimit || KeptBytes > KeptByteLimit) {
        KeptBytes -= Kept.front().Line.size();
        Kept.pop_front();
    }
}

bool TNimboChat::StayConnected()
{
    if (!StayCheckBox->Checked() || !ClientSocket->Active() || OwnNick.empty())
        return false;
    SessionState = ssDirect;
    Attach = atDetached;
    SendHeldWelcome(); // to nobody: the lines after the welcome go on
    AddLog("Chat client left; " + OwnNick + " stays on the server", clBlue, false);
    return true;
}

void TNimboChat::AttachClient(TCustomWinSocket* Socket)
{
    ClientConnection = Socket;
    LocalEdit->SetText(Socket->RemoteAddress());
    ClientBuffer.clear();
    SessionState = ssRelay;
    Attach = atRegistering;
    AttachNick.clear();
    AttachUser = false;
    CapNegotiating = false;
    ClientServerTime = false;
    AddLog("Chat client attached", clBlue, false);
}

void TNimboChat::SendToClient(const AnsiString& Line)
{
    AnsiString utf8;
    if (ClientConnection)
        ClientConnection->SendText(ToClientCode(utf8, Line) + "\r\n");
}

AnsiString TNimboChat::OfferedCaps() const
{
    AnsiString offered;
    for (const AnsiString& cap : ServerCaps)
        offered += cap + " ";
    return offered + "server-time";
}

bool TNimboChat::AnswerAttachLine(const AnsiString& Line)
{
    const TIrcLine line = SplitServerLine(Line);
    const AnsiString reply = AnsiString(":") + OwnServerName + " CAP * ";
    if (line.Command == "CAP") {
        const AnsiString sub = AnsiUpperAscii(FirstWord(line.Params));
        if (sub == "LS" || sub == "LIST") {
            CapNegotiating = CapNegotiating || sub == "LS";
            SendToClient(reply + sub + " :" + (sub == "LS" ? OfferedCaps() : AnsiString(ClientServerTime ? "server-time" : "")));
        } else if (sub == "REQ") {
            CapNegotiating = true;
            const AnsiString wanted = Trailing(AfterFirstWord(line.Params));
            const std::vector<AnsiString> offered = SplitWords(OfferedCaps());
            bool all = true;
            for (const AnsiString& cap : SplitWords(wanted))
                all = all && std::find(offered.begin(), offered.end(), cap) != offered.end();
            if (all && wanted.find("server-time") != AnsiString::npos)
                ClientServerTime = true;
            SendToClient(reply + (all ? "ACK :" : "NAK :") + wanted);
        } else if (sub == "END") {
            CapNegotiating = false;
        }
    } else if (line.Command == "NICK") {
        AttachNick = FirstWord(line.Params);
    } else if (line.Command == "USER") {
        AttachUser = true;
    } else if (line.Command != "PASS") {
        return false;
    }
    AddLog(Line, clGreen, false);
    if (!AttachNick.empty() && AttachUser && !CapNegotiating)
        GreetAttachedClient();
    return true;
}

void TNimboChat::GreetAttachedClient()
{
    Attach = atJoining;
    for (const AnsiString& welcome : WelcomeBurst) {
        // Addressed to the nick in use now.
        const TIrcLine line = SplitServerLine(welcome);
        SendToClient(":" + line.Prefix + " " + line.Command + " " + OwnNick + " " + AfterFirstWord(line.Params));
    }
    if (!SameNick(AttachNick, OwnNick))
        SendToClient(":" + AttachNick + " NICK :" + OwnNick);
    const AnsiString self = OwnPrefix.empty() ? OwnNick : OwnPrefix;
    for (const AnsiString& channel : Channels) {
        SendToClient(":" + self + " JOIN :" + channel);
        for (const AnsiString& ask : {"TOPIC " + channel, "NAMES " + channel}) {
            AddLog(ask, clGreen, false);
            ClientSocket->Socket()->SendText(ask + "\r\n");
        }
    }
    NamesPending = static_cast<int>(Channels.size());
    if (NamesPending == 0)
        PlayBack();
    else
        PlaybackTimer->SetEnabled(true); // a server that never ends its names
}

void TNimboChat::NamesEnded()
{
    if (Attach == atJoining && --NamesPending <= 0)
        PlayBack();
}

void TNimboChat::PlayBack()
{
    PlaybackTimer->SetEnabled(false);
    if (Attach != atJoining)
        return;
    for (const TKeptLine& kept : Kept)
        SendToClient(Stamped(kept));
    AddLog("Played back " + std::to_string(Kept.size()) + " lines", clBlue, false);
    Kept.clear();
    KeptBytes = 0;
    Attach = atNone;
}

AnsiString TNimboChat::Stamped(const TKeptLine& Entry) const
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(Entry.At);
    if (ClientServerTime)
        return FromQString(at.toUTC().toString("'@time='yyyy-MM-dd'T'HH:mm:ss.zzz'Z '")) + Entry.Line;
    const AnsiString stamp = FromQString(at.toString("'['HH:mm'] '"));
    size_t text = TextStart(Entry.Line);
    if (text == AnsiString::npos)
        return Entry.Line + " :" + stamp;
    return Entry.Line.substr(0, text) + stamp + Entry.Line.substr(text);
}
