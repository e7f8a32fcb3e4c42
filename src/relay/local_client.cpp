// The local side of the relay: the listener accepts one chat client, whose
// lines go upstream (with the local address rewritten when "変換" is on, and
// from UTF-8 to JIS when "UTF-8" is on) and whose leaving ends the session.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "kanji/sjis_search.h"
#include "relay/irc_line.h"
#include "relay/main_window.h"

namespace {

constexpr int UpstreamWaitSliceMs = 50;

} // namespace

void TNimboChat::ServerSocketClientConnect(TObject*, TCustomWinSocket* Socket)
{
    if (SessionState != ssIdle) {
        Socket->SendText("Connecting Error\r\n");
        Socket->Close();
        return;
    }
    ClientConnection = Socket;
    const AnsiString peer = Socket->RemoteAddress();
    LocalEdit->SetText(peer);
    GlobalEdit->SetText(peer);
    ClientBuffer.clear();
    SessionState = ssRelay;
    ConnectButton->SetEnabled(false);
    ClientSocket->Host = ClientEdit->Text();
    try {
        ClientSocket->Open();
    } catch (const std::exception&) {
        ConnectButton->SetEnabled(true);
        SessionState = ssIdle;
        AddLog("ServerConnectError", clRed, false);
        // The client is told and let go, so nothing of it reaches a later session.
        TCustomWinSocket* client = ClientConnection;
        client->SendText("Connecting Error\r\n");
        client->Close();
        throw;
    }
}

void TNimboChat::ServerSocketClientRead(TObject*, TCustomWinSocket* Socket)
{
    if (Socket == ClientConnection && UpstreamBackedUp())
        return; // the client's lines wait in the network until the upstream takes more
    AnsiString received = Socket->ReceiveText();
    if (Socket != ClientConnection)
        return; // a connection that is no longer the session's client
    // Wait for the upstream connection, sleeping on the event loop. No new
    // read event comes for this connection while its handler runs, so what
    // arrives meanwhile is read here, in order, after every wake-up.
    while (true) {
        if (!AppendUnfinished(ClientBuffer, received, "client")) {
            Socket->Close();
            return;
        }
        if (SessionState != ssRelay || ClientSocket->Active())
            break;
        Application->WaitForMessages(UpstreamWaitSliceMs);
        if (Socket != ClientConnection)
            return;
        received = Socket->ReceiveText();
    }
    if (SessionState != ssRelay)
        return;
    AnsiString line;
    size_t start = 0;
    while (TakeLine(ClientBuffer, start, line))
        HandleClientLine(line);
    ClientBuffer.erase(0, start);
}

void TNimboChat::ClientSocketWrite(TObject*, TCustomWinSocket*)
{
    if (ClientConnection && !UpstreamBackedUp())
        ServerSocketClientRead(ServerSocket, ClientConnection);
}

bool TNimboChat::UpstreamBackedUp() const
{
    return ClientSocket->Active() && ClientSocket->Socket()->PendingOutput() > HighWaterBytes;
}

void TNimboChat::HandleClientLine(const AnsiString& Line)
{
    AnsiString jis;
    const AnsiString& received = FromClientCode(jis, Line);
    AnsiString outgoing = received + "\r\n";
    AnsiString display;
    KanjiConvert(display, received, kcJis, kcShiftJis, 1);
    TIrcLine line = SplitServerLine(display);

    size_t found = LocalAddress.empty() ? AnsiString::npos : SjisFind(line.Params, LocalAddress);
    if (ConvertCheckBox->Checked() && found != AnsiString::npos) {
        line.Params.replace(found, LocalAddress.size(), GlobalAddress);
        display = (line.Prefix.empty() ? AnsiString() : ":" + line.Prefix + " ") + line.Command +
                  (line.Params.empty() ? "" : " " + line.Params);
        KanjiConvert(outgoing, display, kcShiftJis, kcJis, 1);
        outgoing += "\r\n";
        AddLog("TextConvert[" + LocalEdit->Text() + "]->[" + GlobalEdit->Text() + "]", clBlue, false);
    }

    if (line.Command == "PRIVMSG") {
        AnsiString text = MessageText(line.Params);
        if (!text.empty() && text[0] == '\x01') {
            AddLog(display, clBlue, false);
        } else {
            AddLog(display, clBlack, false);
            SetFlashing(false); // the user speaks: the alert has been seen
        }
    } else {
        AddLog(display, clGreen, false);
    }
    ClientSocket->Socket()->SendText(outgoing);
}

const AnsiString& TNimboChat::FromClientCode(AnsiString& Buffer, const AnsiString& Line)
{
    if (!Utf8CheckBox->Checked())
        return Line;
    int replaced = 0;
    Utf8ToJis(Buffer, Line, replaced);
    NoteReplaced(replaced);
    return Buffer;
}

const AnsiString& TNimboChat::ToClientCode(AnsiString& Buffer, const AnsiString& Line)
{
    if (!Utf8CheckBox->Checked())
        return Line;
    int replaced = 0;
    const AnsiString& utf8 = JapaneseToUtf8(Buffer, Line, replaced);
    NoteReplaced(replaced);
    return utf8;
}

void TNimboChat::NoteReplaced(int Count)
{
    if (Count > 0)
        AddLog("UTF-8: " + std::to_string(Count) + Sjis(" 文字を〓に置き換えました"), clBlue, false);
}

void TNimboChat::ServerSocketClientDisconnect(TObject*, TCustomWinSocket* Socket)
{
    if (SessionState == ssClosing || Socket != ClientConnection)
        return;
    TSessionState noted = SessionState;
    SessionState = ssIdle;
    ClientConnection = nullptr;
    if (noted != ssRelay)
        return;
    if (ClientSocket->Active()) {
        ClientSocket->Close();
    } else if (ClientSocket->Connecting()) {
        // No upstream connection is left running without its client.
        ClientSocket->Close();
        ConnectButton->SetEnabled(true);
    }
}

void TNimboChat::ServerPortEditChange(TObject*)
{
    if (SessionState == ssRelay) {
        ServerUpDown->SetPosition(ServerSocket->Port); // the session's listener stays
        return;
    }
    if (ServerSocket->Active())
        ServerSocket->Close();
    ServerSocket->Port = ServerUpDown->Position();
    if (ListenerOpened) // at start-up the port is only set; FormCreate opens the listener once
        ServerSocket->Open();
}
