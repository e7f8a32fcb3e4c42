// Staying on IRC for the user. With "StayCheck" on, a session whose chat
// client leaves goes on as the program's own: it stays on the server and in
// its channels and keeps the chat lines the user would have seen. A client
// that connects then is attached: its registration is answered here, it
// gets the welcome, its channels and the kept lines, then live lines. A
// server that goes away, or stops answering, is reached again by itself,
// with the client (if one is attached) staying connected meanwhile.
#include "kanji/jis_utf8.h"
#include "relay/main_window.h"
#include "relay/stay_file.h"

#include <QDateTime>

#include <cstdio>

namespace {

qint64 Now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

bool TNimboChat::StayHolds() const
{
    return StayCheckBox->Checked() && (Stay.Welcomed() || Stay.Link() != TStaySession::lkUp) && !UserEnded;
}

bool TNimboChat::StayConnected()
{
    if (!StayHolds() || (!ClientSocket->Active() && Stay.Link() != TStaySession::lkDown))
        return false;
    SessionState = ssDirect;
    Stay.Detach();
    SendHeldWelcome(); // to nobody: the lines after the welcome go on
    AddLog("Chat client left; " + Stay.Nick() + " stays on the server", clBlue, false);
    return true;
}

void TNimboChat::AttachClient(TCustomWinSocket* Socket)
{
    ClientConnection = Socket;
    ClientFirstLine = true;
    LocalEdit->SetText(Socket->RemoteAddress());
    ClientBuffer.clear();
    SessionState = ssRelay;
    Stay.BeginAttach(StayPassword);
    AddLog("Chat client attached", clBlue, false);
}

bool TNimboChat::StayTakesClientLine(const AnsiString& Line)
{
    if (!StayCheckBox->Checked() && Stay.Attach() == TStaySession::atNone)
        return true;
    const bool attaching = Stay.Attach() == TStaySession::atRegistering;
    const TStaySession::TClientVerdict verdict = Stay.FromClient(Line, Now());
    if (verdict == TStaySession::cvForward)
        return true;
    if (attaching) { // the registration is logged, a password never in clear
        AnsiString display;
        LogLineToShiftJis(display, Line);
        AddLog(ParseIrcLine(Line).Command == "PASS" ? AnsiString("PASS ****") : display, clGreen, false);
    }
    SendStayLines();
    if (attaching && Stay.Attach() == TStaySession::atNone)
        AddLog("Played back " + std::to_string(Stay.PlayedBack()) + " lines", clBlue, false);
    if (verdict == TStaySession::cvClose && ClientConnection) {
        if (attaching && ParseIrcLine(Line).Command != "QUIT")
            AddLog("Chat client refused: wrong or missing password (PASS)", clRed, false);
        ClientConnection->Close();
    }
    return false;
}

void TNimboChat::SendToClient(const std::vector<AnsiString>& Lines)
{
    if (!ClientConnection || SessionState != ssRelay)
        return;
    AnsiString out, utf8;
    for (const AnsiString& line : Lines)
        out += ToClientCode(utf8, line) + "\r\n";
    ClientConnection->SendText(out);
}

void TNimboChat::SendJisLine(const AnsiString& Jis)
{
    AnsiString display;
    AddLog(LogLineToShiftJis(display, Jis), clGreen, false);
    ClientSocket->Socket()->SendText(OneLine(Jis) + "\r\n");
}

void TNimboChat::SendStayLines()
{
    if (ClientSocket->Active())
        for (const AnsiString& line : Stay.TakeForServer(Now()))
            SendJisLine(line);
    SendToClient(Stay.TakeForClient());
    const qint64 next = ClientSocket->Active() ? Stay.NextServerLineAt() : -1;
    if (next == PaceTimerAt && ServerPaceTimer->Enabled() == (next >= 0))
        return; // set for that time already
    PaceTimerAt = next;
    ServerPaceTimer->SetEnabled(false);
    if (next >= 0) {
        ServerPaceTimer->SetInterval(static_cast<int>(std::clamp<qint64>(next - Now(), 0, 3600 * 1000)));
        ServerPaceTimer->SetEnabled(true);
    }
}

void TNimboChat::LoseServer(const AnsiString& Reason)
{
    AddLog(Reason, clRed, false);
    KeepAliveTimer->SetEnabled(false);
    ServerPaceTimer->SetEnabled(false);
    const qint64 wait = Stay.LinkLost(Now());
    SendStayLines(); // an attached client is told
    if (wait < 0) {
        AddLog("The server refused the session (" + Stay.Refusal() + "); NimboChat does not reconnect", clRed, false);
        EndSession();
        return;
    }
    AddLog("Reconnecting to " + ClientEdit->Text() + ":" + std::to_string(ClientSocket->Port) + " in " +
               std::to_string((wait + 500) / 1000) + " s",
           clGreen, false);
    ReconnectTimer->SetInterval(static_cast<int>(wait));
    ReconnectTimer->SetEnabled(true);
}

void TNimboChat::Reconnect()
{
    ReconnectTimer->SetEnabled(false);
    if (Stay.Link() != TStaySession::lkDown || !StayHolds())
        return;
    ++ReconnectTries;
    AddLog("Reconnecting to " + ClientEdit->Text() + ":" + std::to_string(ClientSocket->Port) + " (try " +
               std::to_string(ReconnectTries) + ")",
           clGreen, false);
    ServerBuffer.clear();
    ClientSocket->Host = ClientEdit->Text();
    try {
        ClientSocket->Open();
    } catch (const std::exception& E) {
        LoseServer(AnsiString("connect to ") + ClientEdit->Text() + ": " + E.what());
    }
}

void TNimboChat::KeepAliveTick()
{
    if (!ClientSocket->Active() || !StayHolds())
        return;
    const qint64 silent = Now() - LastHeardAt;
    if (KeepAlivePinged && silent >= PingAfterMs + DeadAfterMs) {
        LoseServer("No answer from " + ClientEdit->Text() + " for " + std::to_string(silent / 1000) +
                   " s: connection closed");
        // The disconnect event of a closed connection is the session's own:
        // the try to reach the server again is already set.
        ClientSocket->Close();
    } else if (!KeepAlivePinged && silent >= PingAfterMs) {
        KeepAlivePinged = true;
        SendJisLine("PING :nimbochat-keepalive");
    }
}

void TNimboChat::EndSession()
{
    ReconnectTimer->SetEnabled(false);
    ServerPaceTimer->SetEnabled(false);
    KeepAliveTimer->SetEnabled(false);
    ConnectButton->SetEnabled(true);
    IdleLayout();
    const bool relay = SessionState == ssRelay;
    SessionState = ssIdle;
    Stay = TStaySession();
    ReconnectTries = 0;
    FlushChatLog(); // the session's last lines reach their files now
    if (relay && ClientConnection && ClientConnection->Connected())
        ClientConnection->Close();
}

void TNimboChat::SaveStayState()
{
    // A session the user ended, or none, leaves nothing to take up.
    const bool stays = StayHolds() && (ClientSocket->Active() || Stay.Link() == TStaySession::lkDown);
    QString error;
    if (!stays) {
        RemoveStayFile(StayFilePath());
        return;
    }
    const TStayFile file{ClientEdit->Text(), ClientSocket->Port, Stay.Save()};
    if (!SaveStayFile(StayFilePath(), file, error)) // at exit nobody reads the log
        std::fprintf(stderr, "NimboChat: the stay session could not be saved: %s\n", error.toLocal8Bit().constData());
}

void TNimboChat::TakeUpStayState()
{
    if (!StayCheckBox->Checked())
        return;
    const QString path = StayFilePath();
    TStayFile file;
    QString error;
    const TStayLoad loaded = LoadStayFile(path, file, error);
    if (loaded == TStayLoad::Missing)
        return;
    const AnsiString server = ClientEdit->Text() + ":" + std::to_string(ClientSocket->Port);
    if (loaded == TStayLoad::Loaded && (file.Host != ClientEdit->Text() || file.Port != ClientSocket->Port))
        error = path + ": it belongs to " + ToQString(file.Host) + ":" + QString::number(file.Port) + ", not " +
                ToQString(server);
    if (loaded == TStayLoad::Damaged || !error.isEmpty()) {
        const QString aside = SetStayFileAside(path);
        AddLog("Stay session not taken up: " + FromQString(error) + "; the file is kept as " +
                   FromQString(aside.isEmpty() ? path : aside),
               clRed, false);
        return;
    }
    OpenStaySession(file.State);
}

void TNimboChat::OpenStaySession(const TStayState& State)
{
    SessionState = ssDirect;
    ++SessionNumber;
    UserEnded = false;
    ReconnectTries = 0;
    Stay.Restore(State);
    ChatLog->SetServer(ClientEdit->Text());
    ConnectedLayout();
    AddLog("Taking up the stay session of " + Stay.Nick() + ": " + std::to_string(State.Channels.size()) +
               " channels, " + std::to_string(Stay.KeptLines()) + " kept lines",
           clBlue, false);
    ReconnectTimer->SetInterval(0); // from the event loop, once the window is up
    ReconnectTimer->SetEnabled(true);
}
