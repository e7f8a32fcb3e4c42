// The local side of the relay: the listener accepts one chat client, whose
// lines go upstream (with the local address rewritten when "変換" is on, and
// from UTF-8 to JIS when "UTF-8" is on) and whose leaving ends the session.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "kanji/sjis_search.h"
#include "relay/irc_line.h"
#include "relay/line_fit.h"
#include "relay/main_window.h"

void TNimboChat::ServerSocketClientConnect(TObject*, TCustomWinSocket* Socket)
{
    // A client that reconnects at once can come before the end of its old
    // connection has been handled: that end is handled first.
    if (ClientConnection && ClientConnection != Socket && ClientConnection->PeerGone())
        ClientConnection->Close();
    if (SessionState == ssDirect && Stay.Attach() == TStaySession::atDetached) {
        AttachClient(Socket); // the session that stayed is the client's again
        return;
    }
    if (SessionState != ssIdle) {
        Socket->SendText("Connecting Error\r\n");
        Socket->Close();
        return;
    }
    ClientConnection = Socket;
    ClientFirstLine = true;
    const AnsiString peer = Socket->RemoteAddress();
    LocalEdit->SetText(peer);
    GlobalEdit->SetText(peer);
    ClientBuffer.clear();
    try {
        OpenUpstream(ssRelay);
    } catch (const std::exception&) {
        // The client is told and let go, so nothing of it reaches a later session.
        TCustomWinSocket* client = ClientConnection;
        client->SendText("Connecting Error\r\n");
        client->Close();
        throw;
    }
}

void TNimboChat::ServerSocketClientRead(TObject*, TCustomWinSocket* Socket)
{
    if (Socket != ClientConnection) {
        Socket->ReceiveText(); // a connection that is no longer the session's client
        return;
    }
    if (ClientHeldBack())
        return; // the client's lines wait in the network until there is room
    if (!AppendUnfinished(ClientBuffer, Socket->ReceiveText(), "client")) {
        Socket->Close();
        return;
    }
    if (ClientFirstLine && !TakeFirstClientLine()) {
        Socket->Close();
        return;
    }
    ForwardClientLines();
}

void TNimboChat::ForwardClientLines()
{
    // Until the upstream connection is made the lines stay in ClientBuffer;
    // its connect handler forwards them, in order, before anything else.
    // While the server is being reached again they go to the stay session,
    // which answers each.
    if (SessionState != ssRelay || (!ClientSocket->Active() && Stay.Link() == TStaySession::lkUp))
        return;
    AnsiString line;
    size_t start = 0;
    while (TakeLine(ClientBuffer, start, line))
        HandleClientLine(line);
    ClientBuffer.erase(0, start);
}

bool TNimboChat::TakeFirstClientLine()
{
    size_t start = 0;
    AnsiString first;
    if (!TakeLine(ClientBuffer, start, first))
        return true; // not yet complete
    ClientFirstLine = false;
    if (!IsHttpRequestLine(first))
        return true;
    // A web page's request (any page the user opens can send one to
    // 127.0.0.1): nothing of it may reach the server as the user's lines.
    ClientBuffer.clear();
    AddLog("HTTP request on the chat client port: connection closed", clRed, false);
    return false;
}

void TNimboChat::ClientSocketWrite(TObject*, TCustomWinSocket*)
{
    if (ClientConnection && !ClientHeldBack())
        ServerSocketClientRead(ServerSocket, ClientConnection);
}

bool TNimboChat::ClientHeldBack() const
{
    if (ClientSocket->Active())
        return ClientSocket->Socket()->PendingOutput() > HighWaterBytes;
    return ClientBuffer.size() > static_cast<size_t>(HighWaterBytes); // held for a connect under way
}

void TNimboChat::HandleClientLine(const AnsiString& Line)
{
    AnsiString jis;
    const AnsiString& received = FromClientCode(jis, Line);
    if (!StayTakesClientLine(received))
        return;
    AnsiString outgoing = received;
    AnsiString display;
    LogLineToShiftJis(display, received);
    TIrcLine line = SplitServerLine(display);

    size_t found = LocalAddress.empty() ? AnsiString::npos : SjisFind(line.Params, LocalAddress);
    if (ConvertCheckBox->Checked() && found != AnsiString::npos) {
        line.Params.replace(found, LocalAddress.size(), GlobalAddress);
        display = (line.Prefix.empty() ? AnsiString() : ":" + line.Prefix + " ") + line.Command +
                  (line.Params.empty() ? "" : " " + line.Params);
        KanjiConvert(outgoing, display, kcShiftJis, kcJis, 1);
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
    LogUserLine(outgoing);
    // The client kept its own lines within IRC's limit; what grew in JIS
    // is NimboChat's to fit.
    if (Utf8CheckBox->Checked() && !IsAscii(Line))
        SendFitted(outgoing);
    else
        ClientSocket->Socket()->SendText(outgoing + "\r\n");
}

void TNimboChat::SendFitted(const AnsiString& Jis)
{
    const TFittedLine fitted = FitJisLine(Jis, LineRoom(Stay.Prefix()));
    if (fitted.Cut > 0)
        AddLog(fitted.Command + ": " + std::to_string(fitted.Cut) + Sjis(" 文字を切りました"), clBlue, false);
    AnsiString lines;
    for (const AnsiString& sent : fitted.Lines)
        lines += sent + "\r\n";
    ClientSocket->Socket()->SendText(lines);
}

namespace {

// Converts a line after its IRCv3 tags, which pass untouched. The answer
// is Buffer, or Line when the conversion left it as it was.
const AnsiString& ConvertAfterTags(AnsiString& Buffer, const AnsiString& Line, int& Replaced,
                                   const AnsiString& (*Convert)(AnsiString&, const AnsiString&, int&))
{
    const size_t tags = TagsEnd(Line);
    if (tags == 0)
        return Convert(Buffer, Line, Replaced);
    const AnsiString rest = Line.substr(tags);
    if (&Convert(Buffer, rest, Replaced) == &rest)
        return Line;
    Buffer.insert(0, Line, 0, tags);
    return Buffer;
}

} // namespace

const AnsiString& TNimboChat::FromClientCode(AnsiString& Buffer, const AnsiString& Line)
{
    if (!Utf8CheckBox->Checked())
        return Line;
    int replaced = 0;
    const AnsiString& jis = ConvertAfterTags(Buffer, Line, replaced, Utf8ToJis);
    NoteReplaced(replaced);
    return jis;
}

const AnsiString& TNimboChat::ToClientCode(AnsiString& Buffer, const AnsiString& Line)
{
    if (!Utf8CheckBox->Checked())
        return Line;
    int replaced = 0;
    const AnsiString& utf8 = ConvertAfterTags(Buffer, Line, replaced, JapaneseToUtf8);
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
    if (noted != ssRelay || StayConnected())
        return;
    if (ClientSocket->Active()) {
        ClientSocket->Close();
    } else if (ClientSocket->Connecting()) {
        // No upstream connection is left running without its client.
        ClientSocket->Close();
        ConnectButton->SetEnabled(true);
        IdleLayout();
    }
}

void TNimboChat::ServerPortEditChange(TObject*)
{
    if (SessionState == ssRelay) {
        PortSettleTimer->SetEnabled(false);
        ServerUpDown->SetPosition(ServerSocket->Port); // the session's listener stays
        return;
    }
    if (!ListenerOpened) { // at start-up the port is only set; FormCreate opens the listener once
        ServerSocket->Port = ServerUpDown->Position();
        return;
    }
    // Typing 6669 passes through 6, 66 and 666: the port is taken once the
    // typing has settled.
    PortSettleTimer->SetEnabled(true);
}

void TNimboChat::ApplyListenerPort()
{
    if (!PortSettleTimer->Enabled())
        return; // no change waits
    PortSettleTimer->SetEnabled(false);
    if (SessionState == ssRelay) {
        ServerUpDown->SetPosition(ServerSocket->Port);
        return;
    }
    const int port = ServerUpDown->Position();
    if (ServerSocket->Active() && ServerSocket->Port == port)
        return;
    if (ServerSocket->Active())
        ServerSocket->Close();
    ServerSocket->Port = port;
    OpenListener();
}

void TNimboChat::OpenListener()
{
    try {
        ServerSocket->Open();
    } catch (const std::exception&) {
        AddLog("ServerSocket Open Error", clRed, false);
        Application->MessageBoxLater(Sjis("ServerSocketがOpenできませんでした。"), "SocketError", MB_ICONERROR);
    }
}
