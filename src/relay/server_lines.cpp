// Lines from the upstream server: cut at LF, converted to Shift_JIS for the
// log and for parsing, searched for keywords, answered when they are PING or
// CTCP queries, and in a relay session passed on to the local client as
// received.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "kanji/sjis_search.h"
#include "relay/irc_line.h"
#include "relay/line_fit.h"
#include "relay/main_window.h"

#include <QDateTime>

#include <chrono>

namespace {

constexpr char CTCP = '\x01';

AnsiString Before(const AnsiString& s, char c)
{
    return s.substr(0, std::min(s.find(c), s.size()));
}

// The bytes after the text's last LF: the line not yet ended.
size_t UnfinishedBytes(const AnsiString& Text)
{
    size_t lastLf = Text.rfind('\n');
    return lastLf == AnsiString::npos ? Text.size() : Text.size() - lastLf - 1;
}

} // namespace

bool TNimboChat::AppendUnfinished(AnsiString& Buffer, const AnsiString& Received, const char* Peer)
{
    size_t unfinished = Received.find('\n') == AnsiString::npos ? UnfinishedBytes(Buffer) + Received.size()
                                                                : UnfinishedBytes(Received);
    if (unfinished > MaxLineBytes) {
        Buffer.clear();
        AddLog(AnsiString("Line from the ") + Peer + " longer than " + std::to_string(MaxLineBytes) +
                   " bytes without a line end: connection closed",
               clRed, false);
        return false;
    }
    Buffer += Received;
    return true;
}

void TNimboChat::ClientSocketRead(TObject*, TCustomWinSocket* Socket)
{
    // While earlier lines wait their turn, or the local client is not keeping
    // up, what the server sends waits in the network.
    if (ServerLinesWaiting() || ClientBackedUp())
        return;
    ReadServer(Socket);
}

void TNimboChat::ServerSocketClientWrite(TObject*, TCustomWinSocket* Socket)
{
    if (Socket == ClientConnection && !ClientBackedUp())
        ContinueServerLines();
}

void TNimboChat::ReadServer(TCustomWinSocket* Socket)
{
    LastHeardAt = QDateTime::currentMSecsSinceEpoch();
    KeepAlivePinged = false;
    if (!AppendUnfinished(ServerBuffer, Socket->ReceiveText(), "server")) {
        Socket->Close();
        return;
    }
    HandleServerLines(false);
}

void TNimboChat::HandleServerLines(bool Whole)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(LineSliceMs);
    // The clock is read every few lines: a line takes microseconds.
    constexpr unsigned ClockStride = 16;
    unsigned handled = 0;
    auto inTime = [&] { return ++handled % ClockStride != 0 || Clock::now() < deadline; };
    AnsiString received;
    size_t start = 0;
    while ((Whole || (!ClientBackedUp() && !WelcomeHeld && inTime())) && TakeLine(ServerBuffer, start, received))
        HandleServerLine(received);
    ServerBuffer.erase(0, start);
    LinePumpTimer->SetEnabled(ServerLinesWaiting() && !ClientBackedUp() && !WelcomeHeld);
}

void TNimboChat::ContinueServerLines()
{
    HandleServerLines(false);
    if (!ServerLinesWaiting() && !ClientBackedUp() && ClientSocket->Active())
        ReadServer(ClientSocket->Socket());
}

bool TNimboChat::ServerLinesWaiting() const
{
    return ServerBuffer.find('\n') != AnsiString::npos;
}

bool TNimboChat::ClientBackedUp() const
{
    return SessionState == ssRelay && ClientConnection && ClientConnection->PendingOutput() > HighWaterBytes;
}

void TNimboChat::HandleServerLine(const AnsiString& Received)
{
    AnsiString display;
    LogLineToShiftJis(display, Received);
    // IRCv3 tags come before the line proper and pass untouched.
    const TIrcLine line = SplitServerLine(display.substr(TagsEnd(display)));
    if (line.Command == "PRIVMSG") {
        bool matched = KeywordCheckBox->Checked() && KeywordMatches(line.Params);
        if (matched && FlashCheckBox->Checked() && !Active())
            SetFlashing(true);
        if (matched)
            NotifyHit(line);
        AnsiString text = MessageText(line.Params);
        bool ctcp = !text.empty() && text[0] == CTCP;
        AddLog(display, ctcp ? clBlue : clBlack, matched);
    } else {
        AddLog(display, clGreen, false);
    }
    bool answered = ProcessServerLine(line.Prefix, line.Command, line.Params);
    LogServerLine(Received);
    const TStaySession::TLink link = Stay.Link();
    const TStaySession::TVerdict verdict = Stay.FromServer(Received, QDateTime::currentMSecsSinceEpoch());
    if (link == TStaySession::lkRegistering && Stay.Link() == TStaySession::lkUp) {
        AddLog("Back on the server as " + Stay.Nick(), clBlue, false);
        ReconnectTries = 0;
    }
    if (Stay.NextServerLineAt() >= 0 || link != Stay.Link())
        SendStayLines();
    const bool keepAlive = line.Command == "PONG" && line.Params.find("nimbochat-keepalive") != AnsiString::npos;
    if (SessionState == ssRelay && !answered && ClientConnection && verdict == TStaySession::vPass && !keepAlive) {
        AnsiString utf8;
        AnsiString outgoing = ToClientCode(utf8, Received) + "\r\n";
        if (WelcomeHeld)
            HeldWelcome = std::move(outgoing); // the welcome itself: sent once GlobalEdit is set
        else
            ClientConnection->SendText(outgoing);
    }
}

void TNimboChat::LookUpWelcomeHost(const AnsiString& Host)
{
    // A relay session's chat client gets the welcome after GlobalEdit is
    // set: the welcome and the lines after it wait for the answer, or for
    // WelcomeWaitMs. The name is the server's choice, so it is resolved
    // without blocking the window.
    if (SessionState == ssRelay && ClientSocket->Active()) {
        WelcomeHeld = true;
        WelcomeTimer->SetEnabled(true);
    }
    const unsigned session = SessionNumber;
    ClientSocket->Socket()->LookupNameAsync(Host, [this, session, Host](const TIPv4& Address) {
        if (!SessionRuns(session))
            return; // the session that asked is gone
        TakeWelcomeAddress(Host, Address);
        ReleaseWelcome();
    });
}

void TNimboChat::TakeWelcomeAddress(const AnsiString& Host, const TIPv4& Address)
{
    if (Address != TIPv4{0, 0, 0, 0}) {
        GlobalEdit->SetText(IPv4ToDotted(Address));
        return;
    }
    // A cloaked host: the address the user gave stays, for DCC offers.
    AddLog("Global address: " + Host + " does not resolve; kept " + GlobalEdit->Text(), clRed, false);
}

void TNimboChat::ReleaseWelcome()
{
    if (!WelcomeHeld)
        return;
    SendHeldWelcome();
    ContinueServerLines();
}

void TNimboChat::SendHeldWelcome()
{
    WelcomeHeld = false;
    WelcomeTimer->SetEnabled(false);
    if (SessionState == ssRelay && ClientConnection && !HeldWelcome.empty())
        ClientConnection->SendText(HeldWelcome);
    HeldWelcome.clear();
}

void TNimboChat::SendAnswer(const AnsiString& Line)
{
    AddLog(Line, clGreen, false);
    SendServerLine(Line);
}

bool TNimboChat::ProcessServerLine(const AnsiString& Prefix, const AnsiString& Command, const AnsiString& Params)
{
    bool fromServer = Prefix.find('!') == AnsiString::npos;
    AnsiString nick = Before(Prefix, '!');
    if (fromServer && Command == "PING") {
        SendAnswer("PONG " + Params);
        return true;
    }
    if (Command == "001" && Stay.Link() == TStaySession::lkUp) { // not when NimboChat registers again
        size_t at = SjisFind(Params, "@");
        if (at != AnsiString::npos)
            LookUpWelcomeHost(Params.substr(at + 1));
    }
    if (fromServer || Command != "PRIVMSG")
        return false;
    AnsiString text = MessageText(Params);
    if (text.empty() || text[0] != CTCP)
        return false;
    AnsiString query, argument;
    size_t blank = text.find(' ');
    if (blank != AnsiString::npos) {
        query = text.substr(1, blank - 1);
        argument = text.substr(blank + 1);
        if (!argument.empty() && argument.back() == CTCP)
            argument.pop_back();
    } else {
        query = text.size() >= 2 ? text.substr(1, text.size() - 2) : AnsiString();
    }
    return AnswerCtcp(nick, query, argument);
}

bool TNimboChat::AnswerCtcp(const AnsiString& Nick, const AnsiString& Query, const AnsiString& Argument)
{
    const std::vector<AnsiString> replies = CtcpReplies(Query, Argument);
    if (replies.empty())
        return false;
    if (!CtcpLimit.Take(TAnswerLimit::Clock::now())) {
        CtcpFloodTimer->SetEnabled(true); // the flood is over once a turn passes without a query left out
        return true;
    }
    for (const AnsiString& reply : replies)
        SendAnswer("NOTICE " + Nick + " :" + CTCP + reply + CTCP);
    return true;
}

std::vector<AnsiString> TNimboChat::CtcpReplies(const AnsiString& Query, const AnsiString& Argument) const
{
    if (Query == "PING")
        return {"PING " + Argument};
    if (Query == "VERSION")
        return {"VERSION NimboChat :"};
    if (SessionState == ssRelay)
        return {}; // the local client answers the rest itself
    if (Query == "TIME")
        return {"TIME Secret"};
    if (Query == "FINGER")
        return {"FINGER " + NickEdit->Text()};
    if (Query == "USERINFO")
        return {"USERINFO :Support: Orvane<" + AnsiString(SupportAddress) + "> "};
    if (Query == "CLIENTINFO")
        return {"CLIENTINFO :VERSION USERINFO CLIENTINFO HELP FINGER"};
    if (Query == "HELP")
        return {"HELP :VERSION gives version of this client", "HELP :USERINFO gives user supplied info (if any)",
                "HELP :CLIENTINFO gives commands this client knows",
                "HELP :FINGER gives real name and login name of user", "HELP :HELP gives this help message"};
    return {};
}

void TNimboChat::NoteUnanswered()
{
    CtcpFloodTimer->SetEnabled(false);
    if (int unanswered = CtcpLimit.TakeUnanswered(); unanswered > 0)
        AddLog("CTCP: " + std::to_string(unanswered) + Sjis(" 件の問い合わせに答えませんでした"), clBlue, false);
}
