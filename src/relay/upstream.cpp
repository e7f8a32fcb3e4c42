// The upstream server connection: opening it from the Connect button,
// registration in a direct session, the button layouts, and its end by QUIT,
// Kill, the server's close or a failed connect (a refused TLS handshake or
// certificate among them).
#include "relay/main_window.h"

void TNimboChat::ConnectButtonClick(TObject*)
{
    if (SessionState == ssIdle) {
        SessionState = ssDirect;
        ConnectButton->SetEnabled(false);
        ClientSocket->Host = ClientEdit->Text();
        try {
            ClientSocket->Open();
        } catch (const std::exception&) {
            // The open failed at once: back to idle, as a relay session does.
            SessionState = ssIdle;
            ConnectButton->SetEnabled(true);
            AddLog("ServerConnectError", clRed, false);
            throw; // the application's exception display shows the reason
        }
    } else if (SessionState == ssDirect || SessionState == ssRelay) {
        SendServerLine("QUIT byebye");
    }
}

void TNimboChat::KillButtonClick(TObject*)
{
    if (SessionState == ssRelay) {
        if (ClientConnection && ClientConnection->Connected())
            ClientConnection->Close();
        if (ClientSocket->Active())
            ClientSocket->Close();
    } else if (SessionState == ssDirect) {
        if (ClientSocket->Active())
            ClientSocket->Close();
    }
    if (ClientSocket->Connecting()) {
        // A connect still under way is abandoned too, so Kill always ends in idle.
        ClientSocket->Close();
        ConnectButton->SetEnabled(true);
        IdleLayout();
    }
    SessionState = ssIdle;
}

void TNimboChat::ClientSocketConnect(TObject*, TCustomWinSocket* Socket)
{
    ServerBuffer.clear();
    if (SessionState == ssDirect) {
        AnsiString user = AnsiLowerCase(NickEdit->Text());
        AnsiString host = Socket->LocalHost();
        if (host.empty())
            host = Socket->LocalAddress();
        AnsiString server = Socket->RemoteHost();
        if (server.empty())
            server = Socket->RemoteAddress();
        for (const AnsiString& line : {"USER " + user + " " + host + " " + server + " :" + user, "NICK " + NickEdit->Text()}) {
            AddLog(line, clGreen, false);
            SendServerLine(line);
        }
    }
    ConnectedLayout();
    // The lines the chat client sent while the connect was under way go
    // first, in order, and its reading goes on.
    if (SessionState == ssRelay && ClientConnection)
        ServerSocketClientRead(ServerSocket, ClientConnection);
}

void TNimboChat::ClientSocketDisconnect(TObject*, TCustomWinSocket* Socket)
{
    if (SessionState == ssClosing)
        return;
    // The server's last lines, its final ERROR among them, are handled and
    // passed on before the session ends.
    if (AppendUnfinished(ServerBuffer, Socket->ReceiveText(), "server"))
        HandleServerLines(true);
    IdleLayout();
    if (SessionState == ssRelay) {
        SessionState = ssIdle;
        if (ClientConnection && ClientConnection->Connected())
            ClientConnection->Close();
    } else {
        SessionState = ssIdle;
    }
}

void TNimboChat::ClientSocketError(TObject*, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int&)
{
    if (ErrorEvent != eeConnect)
        return;
    if (!Socket->TlsFailure().empty())
        AddLog(Socket->TlsFailure(), clRed, false);
    if (SessionState == ssRelay && ClientConnection) {
        ClientConnection->SendText("Connecting Error\r\n");
        ClientConnection->Close();
    }
    ConnectButton->SetEnabled(true);
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
