// The upstream server connection: opening it from the Connect button,
// registration in a direct session, the button layouts, and its end by QUIT,
// Kill, the server's close or a failed connect (a refused TLS handshake or
// certificate among them).
#include "relay/main_window.h"

#include <QDateTime>

#include <algorithm>

void TNimboChat::ConnectButtonClick(TObject*)
{
    if (SessionState == ssIdle) {
        OpenUpstream(ssDirect);
    } else if (Stay.Link() == TStaySession::lkDown && !ClientSocket->Active() && !ClientSocket->Connecting()) {
        AddLog("Reconnecting stopped", clBlue, false); // no server to say QUIT to
        EndSession();
    } else if (SessionState == ssDirect || SessionState == ssRelay) {
        UserEnded = true;
        SendServerLine("QUIT byebye");
    }
}

void TNimboChat::OpenUpstream(TSessionState Kind)
{
    SessionState = Kind;
    ++SessionNumber;
    Stay = TStaySession();
    ChatLog->SetServer(ClientEdit->Text());
    UserEnded = false;
    ReconnectTries = 0;
    ConnectButton->SetEnabled(false);
    KillButton->SetEnabled(true); // a connect can always be ended
    ClientSocket->Host = ClientEdit->Text();
    try {
        ClientSocket->Open();
    } catch (const std::exception&) {
        SessionState = ssIdle;
        ConnectButton->SetEnabled(true);
        KillButton->SetEnabled(false);
        AddLog("ServerConnectError", clRed, false);
        throw; // the application's exception display shows the reason
    }
}

bool TNimboChat::SessionRuns(unsigned Session) const
{
    return Session == SessionNumber && (SessionState == ssDirect || SessionState == ssRelay);
}

void TNimboChat::KillButtonClick(TObject*)
{
    const bool connecting = ClientSocket->Connecting();
    UserEnded = true;
    if (Stay.Link() == TStaySession::lkDown && !ClientSocket->Active()) {
        if (connecting)
            ClientSocket->Close();
        EndSession(); // a try to reach the server again is ended, or no longer waited for
        return;
    }
    if (SessionState == ssRelay && ClientConnection && ClientConnection->Connected()) {
        if (connecting)
            ClientConnection->SendText("Connecting Error\r\n"); // its session never began
        ClientConnection->Close();
    }
    if (ClientSocket->Active() || ClientSocket->Connecting())
        ClientSocket->Close();
    if (connecting) {
        ConnectButton->SetEnabled(true);
        IdleLayout();
    }
    SessionState = ssIdle;
}

void TNimboChat::ClientSocketConnect(TObject*, TCustomWinSocket* Socket)
{
    ServerBuffer.clear();
    LastHeardAt = QDateTime::currentMSecsSinceEpoch();
    KeepAlivePinged = false;
    if (StayCheckBox->Checked()) {
        KeepAliveTimer->SetInterval(std::clamp(std::min(PingAfterMs, DeadAfterMs) / 4, 100, 1000));
        KeepAliveTimer->SetEnabled(true);
    }
    if (!Socket->UntrustedNote().empty())
        AddLog(Socket->UntrustedNote(), clBlue, false);
    const bool again = Stay.Link() == TStaySession::lkDown;
    if (SessionState == ssDirect || again) {
        // The USER line names the server by its reverse name, looked up
        // without holding the window.
        const unsigned session = SessionNumber;
        Socket->RemoteHostAsync([this, session, Socket](const AnsiString& Server) {
            if (SessionRuns(session) && ClientSocket->Active())
                Register(Socket, Server);
        });
    }
    ConnectedLayout();
    // The lines the chat client sent while the connect was under way go
    // first, in order, and its reading goes on.
    if (SessionState == ssRelay && ClientConnection && !again)
        ServerSocketClientRead(ServerSocket, ClientConnection);
}

void TNimboChat::Register(TCustomWinSocket* Socket, AnsiString Server)
{
    AnsiString user = AnsiLowerCase(NickEdit->Text());
    AnsiString host = Socket->LocalHost();
    if (host.empty())
        host = Socket->LocalAddress();
    if (Server.empty())
        Server = Socket->RemoteAddress();
    const AnsiString userLine = "USER " + user + " " + host + " " + Server + " :" + user;
    if (Stay.Link() == TStaySession::lkDown) { // back by itself: as the nick in use, with the session's capabilities
        for (const AnsiString& line : Stay.Reconnected(userLine))
            SendJisLine(line);
        return;
    }
    for (const AnsiString& line : {userLine, "NICK " + NickEdit->Text()}) {
        AddLog(line, clGreen, false);
        SendServerLine(line);
    }
}

void TNimboChat::ClientSocketDisconnect(TObject*, TCustomWinSocket* Socket)
{
    if (SessionState == ssClosing || Stay.Link() == TStaySession::lkDown)
        return; // closed as dead: the try to reach it again is set
    // The server's last lines, its final ERROR among them, are handled and
    // passed on before the session ends.
    SendHeldWelcome();
    if (AppendUnfinished(ServerBuffer, Socket->ReceiveText(), "server"))
        HandleServerLines(true);
    if (StayHolds()) {
        LoseServer("Server connection lost: the server closed the connection");
        return;
    }
    EndSession();
}

void TNimboChat::ClientSocketError(TObject*, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    if (ErrorEvent != eeConnect)
        return;
    if (Stay.Link() == TStaySession::lkDown && StayHolds()) {
        ErrorCode = 0; // a failed try is a log line, not a box: the user may be away
        LoseServer(Socket->ConnectFailure());
        return;
    }
    AddLog(Socket->ConnectFailure(), clRed, false);
    if (SessionState == ssRelay && ClientConnection) {
        ClientConnection->SendText("Connecting Error\r\n");
        ClientConnection->Close();
    }
    ConnectButton->SetEnabled(true);
    IdleLayout();
    SessionState = ssIdle;
}

void TNimboChat::ClientPortEditChange(TObject*)
{
    if (SessionState != ssIdle)
        ClientUpDown->SetPosition(ClientSocket->Port); // a session's port cannot change
    else
        ClientSocket->Port = ClientUpDown->Position();
}

void TNimboChat::SslCheckBoxClick(TObject*)
{
    ClientSocket->Secure = SslCheckBox->Checked();
    if (SslCheckBox->Checked() && ClientUpDown->Position() == 6667)
        ClientUpDown->SetPosition(6697);
}

void TNimboChat::ConnectedLayout()
{
    ConnectButton->SetEnabled(true);
    ConnectButton->SetCaption("DisConnect");
    ConnectButton->SetDefault(false);
    KillButton->SetEnabled(true);
    SendButton->SetEnabled(true);
    SendButton->SetDefault(true);
}

void TNimboChat::IdleLayout()
{
    ConnectButton->SetCaption("Connect");
    KillButton->SetEnabled(false);
    SendButton->SetEnabled(false);
    SendButton->SetDefault(false);
    ConnectButton->SetDefault(true);
}
