// TNimboChat: the one main window of the relay. ClientSocket is the upstream
// connection (to the IRC server), ServerSocket the local listener (where the
// chat client connects). The window owns both, the accepted local client,
// the line buffers, the session state and the bounded, coloured log.
//
// One class in two folders: relay/ defines the window, its controls and the
// relay (the upstream, the local client, server lines, the console);
// desktop/ defines the members for the desktop around it (settings,
// keywords and their editor, the tray, the launcher, the address boxes),
// beside the helpers of its own that need no window.
#pragma once

#include "framework/application.h"
#include "framework/controls.h"
#include "framework/dialogs.h"
#include "framework/richedit.h"
#include "framework/sockets.h"
#include "relay/answer_limit.h"
#include "relay/chat_log.h"
#include "relay/irc_line.h"
#include "relay/stay_session.h"

#include <memory>
#include <vector>

// The session state.
enum class TSessionState {
    ssClosing = -1, // the window is being destroyed; disconnect handlers stand still
    ssIdle = 0,     // no upstream session
    ssDirect = 1,   // started with the Connect button; the relay registers itself
    ssRelay = 2,    // started by an accepted local client
};
using enum TSessionState;

// The log keeps at most this many lines; one more is removed per append.
constexpr int LogLineLimit = 257;

// The longest unfinished line taken from either peer. IRC lines are at most
// 512 bytes plus 8191 bytes of tags; a peer that sends more without a line
// end is disconnected, so that no peer can make the program's memory grow
// without bound.
constexpr size_t MaxLineBytes = 1 << 20;

// The most output for one peer that may wait unsent in the program. While
// the local client's waiting output is above it, the upstream is not read
// (what the server sends waits in the network, and TCP holds it back), and
// the other way round; reading goes on once the output has gone down.
constexpr qint64 HighWaterBytes = 4 << 20;

// The longest one turn of server line handling runs before the window's
// other events get theirs; the lines not yet handled keep their order and
// are taken up on the next turn.
constexpr int LineSliceMs = 10;

// A typed listener port is taken this long after the last change of the
// port box (or when the box is left), not at every keystroke.
constexpr int PortSettleMs = 700;
// A typed global address is logged this long after the last keystroke (or
// when the box is left); the address itself is taken at every change.
constexpr int AddressSettleMs = 700;


// The welcome (001) and the server lines after it wait at most this long for
// the lookup of the user's host, so that the chat client gets them after
// GlobalEdit is set.
constexpr int WelcomeWaitMs = 2000;

class TNimboChat : public TForm {
public:
    explicit TNimboChat(TComponent* Owner);
    ~TNimboChat() override;

    // Controls. Most are named after their role and kind; PageControl1,
    // TabSheet1-TabSheet4, Label1-Label7 and the menu separators N1 and N2
    // keep the numbered names the window has always had.
    TPageControl* PageControl1;
    TTabSheet* TabSheet1;
    TTabSheet* TabSheet2;
    TTabSheet* TabSheet3;
    TTabSheet* TabSheet4;
    TLabel* Label1;
    TLabel* Label2;
    TLabel* Label3;
    TLabel* Label4;
    TLabel* Label5;
    TLabel* Label6;
    TLabel* Label7;
    TEdit* ClientEdit;
    TEdit* ClientPortEdit;
    TUpDown* ClientUpDown;
    TCheckBox* SslCheckBox; // TLS to the server from the next session on
    TEdit* NickEdit;
    TEdit* LocalEdit;
    TEdit* GlobalEdit;
    TEdit* ServerPortEdit;
    TUpDown* ServerUpDown;
    TCheckBox* ConvertCheckBox;
    TCheckBox* Utf8CheckBox; // the chat client speaks UTF-8; the server JIS
    TCheckBox* StayCheckBox; // a relay session stays on the server when its chat client leaves
    TEdit* ClientPathEdit;
    TButton* PathButton;
    TCheckBox* AutoCheckBox;
    TCheckBox* MinCheckBox;
    TCheckBox* TaskCheckBox;
    TCheckBox* KeywordCheckBox;
    TButton* KeyEditButton;
    TCheckBox* FlashCheckBox;
    TCheckBox* NotifyCheckBox; // a keyword hit also raises a desktop notification
    TCheckBox* LogCheckBox;    // the conversations are written to log files
    TButton* ConnectButton;
    TButton* KillButton;
    TButton* ExeButton;
    TRichEdit* LogRichEdit;
    TEdit* MessageEdit;
    TEdit* ChannelEdit;
    TCheckBox* ScrollCheckBox;
    TButton* SendButton;
    TClientSocket* ClientSocket;
    TServerSocket* ServerSocket;
    TOpenDialog* ClientOpenDialog;
    TPopupMenu* RMenu;
    TMenuItem* RestoreItem;
    TMenuItem* MinItem;
    TMenuItem* N2;
    TMenuItem* ExeItem;
    TMenuItem* LogFolderItem; // opens the folder of the chat logs
    TMenuItem* N1;
    TMenuItem* QuitItem;
    TTimer* FlashTimer;
    TTimer* LinePumpTimer; // takes up waiting server lines, turn by turn
    TTimer* PortSettleTimer; // runs while a typed listener port waits to be taken
    TTimer* GlobalSettleTimer; // runs while a typed global address waits to be logged
    TTimer* WelcomeTimer;    // runs while the welcome waits for its host lookup
    TTimer* ReconnectTimer;  // runs while a stay session waits to reach the server again
    TTimer* ServerPaceTimer; // runs while the stay session's paced lines (a rejoin) wait
    TTimer* KeepAliveTimer;  // runs while a stay session watches its server for silence
    TTimer* LogFlushTimer;   // writes the chat logs' waiting lines every second while ログ保存 is on
    TTimer* CtcpFloodTimer; // runs while CTCP queries are left unanswered; its tick notes how many

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);

    // The upstream connection.
    void ConnectButtonClick(TObject* Sender);
    void KillButtonClick(TObject* Sender);
    void ClientSocketConnect(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocketDisconnect(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocketError(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);
    void ClientPortEditChange(TObject* Sender);
    // Turning SSL on while the port is IRC's plain 6667 offers TLS's 6697.
    void SslCheckBoxClick(TObject* Sender);

    // Lines from the upstream server.
    void ClientSocketRead(TObject* Sender, TCustomWinSocket* Socket);
    // The upstream took written bytes: the local client's lines that waited
    // for it are read.
    void ClientSocketWrite(TObject* Sender, TCustomWinSocket* Socket);
    // Answers PING and CTCP queries; true when the line was answered and
    // must not go on to the local client.
    bool ProcessServerLine(const AnsiString& Prefix, const AnsiString& Command, const AnsiString& Params);

    // The local client.
    void ServerSocketClientConnect(TObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientRead(TObject* Sender, TCustomWinSocket* Socket);
    // The local client took written bytes: server lines that waited for it
    // are handled.
    void ServerSocketClientWrite(TObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientDisconnect(TObject* Sender, TCustomWinSocket* Socket);
    void ServerPortEditChange(TObject* Sender);
    // Takes the port box's port for the listener, when a change waits.
    void ApplyListenerPort();

    // The address boxes: each change stores the text's AddressToDecimal
    // (desktop/addresses.h) for the relay's address rewrite and logs it.
    void LocalEditChange(TObject* Sender);
    void GlobalEditChange(TObject* Sender);
    void SettleGlobalAddress();
    void LogGlobalAddress();

    // The chat client launcher and the tray icon with its menu.
    void PathButtonClick(TObject* Sender);
    void ClientPathEditChange(TObject* Sender);
    void ExeButtonClick(TObject* Sender);
    void RMenuPopup(TObject* Sender);
    void RestoreItemClick(TObject* Sender);
    void MinItemClick(TObject* Sender);
    void ExeItemClick(TObject* Sender);
    // Opens the chat logs' folder (made when missing) with the desktop's file manager.
    void LogFolderItemClick(TObject* Sender);
    void QuitItemClick(TObject* Sender);
    void WMUser(TMessage& Message) override; // the tray icon's callback: WMTrayIcon
    void WMTrayIcon(TMessage& Message);

    // The operator console.
    void SendButtonClick(TObject* Sender);

    // Keyword alerts.
    void KeywordCheckBoxClick(TObject* Sender);
    void KeyEditButtonClick(TObject* Sender);
    void FlashTimerTimer(TObject* Sender);
    void WMActivate(TWMActivate& Message) override;
    void SetFlashing(bool On);
    // Replaces the keyword list (the editor's OK).
    void SetKeywords(const std::vector<AnsiString>& Keywords);
    // True when any keyword occurs in the text (character-aware, exact case,
    // empty keywords never match).
    bool KeywordMatches(const AnsiString& Text) const;

    // Appends one line (without line end) to the log in a colour, bold or not.
    // Never fails outward: when appending fails, the log is emptied and shows
    // the red line "Text Append Error".
    void AddLog(const AnsiString& Text, TColor Colour, bool Bold);
    // Sends one composed Shift_JIS line upstream: CR LF appended, converted
    // to JIS. Sends nothing while the upstream connection is not established.
    // It is always one line: a CR or LF inside it (an answer echoes text a
    // peer chose) is sent as a blank, so it can never start a second command.
    void SendServerLine(AnsiString Line);

    // A stay session's watch on a server that stops answering: after
    // PingAfterMs without a line from it NimboChat sends a PING of its own,
    // and when DeadAfterMs more pass without a line the connection is dead,
    // closed and made again. Tests shorten them.
    int PingAfterMs = 120 * 1000;
    int DeadAfterMs = 60 * 1000;

private:
    friend struct NimboChatProbe; // tests read and set the private fields

    void CreateControls();
    void CreateServerPage();
    void CreateClientPage();
    void CreateChatClientPage();
    void CreateOtherPage();
    void CreateMenu();
    void WireEvents();
    void WireDesktopEvents(); // the launcher's and the tray's controls
    // Reads what the upstream has sent and handles its lines for one turn.
    void ReadServer(TCustomWinSocket* Socket);
    // Handles the complete lines of ServerBuffer in order: for one turn of
    // LineSliceMs while the local client keeps up, or all of them (Whole).
    // Lines left over are taken up by LinePumpTimer.
    void HandleServerLines(bool Whole);
    // The next turn: waiting lines first, then what waits in the network.
    void ContinueServerLines();
    bool ServerLinesWaiting() const;
    bool ClientBackedUp() const;
    // The local client is not read: the upstream's waiting output, or the
    // lines held while it connects, are above HighWaterBytes.
    bool ClientHeldBack() const;
    // Sends the complete lines of ClientBuffer upstream, once the upstream
    // connection is made.
    void ForwardClientLines();
    void HandleServerLine(const AnsiString& Received);
    // Appends bytes read from a peer to its buffer. False (the buffer
    // emptied and a red log line written) when the line not yet ended (what
    // follows the buffer's last LF) would pass MaxLineBytes; the caller then
    // closes that connection.
    bool AppendUnfinished(AnsiString& Buffer, const AnsiString& Received, const char* Peer);
    void HandleClientLine(const AnsiString& Received);
    // Looks at the chat client's first line once it is complete: false
    // (the held lines dropped, a red log line) when it is an HTTP request.
    bool TakeFirstClientLine();
    // With "UTF-8" on, a line between the chat client's UTF-8 and the
    // server's JIS, a blue note logged when characters had to become 〓;
    // otherwise the line itself. The answer is Buffer or Line.
    const AnsiString& FromClientCode(AnsiString& Buffer, const AnsiString& Line);
    const AnsiString& ToClientCode(AnsiString& Buffer, const AnsiString& Line);
    void NoteReplaced(int Count);
    // Sends a JIS line converted from the user's own text (a UTF-8 client's
    // line, the message line) upstream as lines the server passes on whole
    // (relay/line_fit.h); what had to be cut is noted in blue.
    void SendFitted(const AnsiString& Jis);
    // Logs and sends a line typed in the message line, given in UTF-8,
    // converted as a UTF-8 client's line is.
    void SendTyped(const AnsiString& Utf8, TColor Colour);
    bool AnswerCtcp(const AnsiString& Nick, const AnsiString& Query, const AnsiString& Argument);
    // The reply texts (between the 0x01 bytes) to a CTCP query; none when
    // the relay leaves the query unanswered.
    std::vector<AnsiString> CtcpReplies(const AnsiString& Query, const AnsiString& Argument) const;
    // Logs, once a flood of CTCP queries is over, how many went unanswered.
    void NoteUnanswered();
    void SendAnswer(const AnsiString& Line);
    // Opens the listener; a failure is logged in red and shown in a box
    // after the running event.
    void OpenListener();
    // Starts a session of the kind given by opening the upstream connection.
    // When the open fails at once the window is idle again,
    // "ServerConnectError" is logged and the exception goes on.
    void OpenUpstream(TSessionState Kind);
    // Whether Session is the session that runs now: answers that come later
    // (name lookups) act only on the session that asked.
    bool SessionRuns(unsigned Session) const;
    // Sends the registration of a direct session; Server is the server's
    // reverse name, or empty.
    void Register(TCustomWinSocket* Socket, AnsiString Server);
    // The welcome names the user's host: GlobalEdit takes its address, and
    // in a relay session the welcome and the lines after it wait for it.
    void LookUpWelcomeHost(const AnsiString& Host);
    void TakeWelcomeAddress(const AnsiString& Host, const TIPv4& Address);
    // Sends the held welcome to the chat client and lets the lines after it go on.
    void ReleaseWelcome();
    void SendHeldWelcome();

    // Staying on IRC for the user (StayCheckBox); the rules are the stay
    // session's (relay/stay_session.h), the sockets and timers the window's.
    // Whether the session runs on by itself when its client or its server
    // goes: the switch is on, the server has welcomed the user, and the user
    // has not ended the session.
    bool StayHolds() const;
    // The chat client left: true when the session stays (as the program's own).
    bool StayConnected();
    void AttachClient(TCustomWinSocket* Socket);
    // A line of the chat client read through the stay session; false when
    // it goes no further.
    bool StayTakesClientLine(const AnsiString& Line);
    // Sends what the stay session has for the server (due now) and for the
    // chat client, and sets the pace timer for what waits.
    void SendStayLines();
    void SendToClient(const std::vector<AnsiString>& Lines);
    // Sends a JIS line of NimboChat's own upstream, logged converted.
    void SendJisLine(const AnsiString& Jis);
    // The server connection of a stay session is gone: a try to reach it
    // again is set, or, after a refusal that retrying will not change, the
    // session ends. Reason goes to the log in red.
    void LoseServer(const AnsiString& Reason);
    void Reconnect();
    void KeepAliveTick();
    void EndSession();
    // At exit, a stay session that runs (or waits to reach its server
    // again) is written to the stay file, for the next start to take up;
    // otherwise the file is removed.
    void SaveStayState();
    // The chat logs (ログ保存): the lines of the server and of the user go to
    // ChatLog while the switch is on, which writes them from LogFlushTimer.
    void LogServerLine(const AnsiString& Received);
    void LogUserLine(const AnsiString& Jis);
    void FlushChatLog();
    // A keyword hit in Display (the server's line, Shift_JIS) raises a
    // desktop notification while 通知 is on.
    void NotifyHit(const TIrcLine& Line);
    // At start-up with the stay switch on: takes up the session the stay
    // file holds, reaching the server again. A damaged file, or one of
    // another server, is set aside with a red line and nothing is taken up.
    void TakeUpStayState();
    void OpenStaySession(const TStayState& State);
    void ConnectedLayout();
    void IdleLayout();

    // Start-up and exit steps of the desktop integration. The settings and
    // keywords operations return true when every value was read or written;
    // a load that fails changes no control (a failed keyword load leaves an
    // empty list).
    bool LoadSettings();
    bool SaveSettings();
    bool LoadKeywords();
    bool SaveKeywords();
    void AddTrayIcon();
    void DeleteTrayIcon();
    void LaunchClient();
    void LaunchClientAsked();
    void ApplicationMinimize(TObject* Sender);
    void ApplicationRestore(TObject* Sender);

    bool TrayIconShown = false;
    bool ListenerOpened = false; // FormCreate has tried to open the listener; port changes reopen it
    TSessionState SessionState = ssIdle;
    unsigned SessionNumber = 0; // counts sessions, so that late answers find theirs
    bool WelcomeHeld = false;   // server lines wait for the welcome's host lookup
    AnsiString HeldWelcome;     // the welcome as the chat client gets it, while held
    TStaySession Stay;      // what the session knows of the user on the server
    std::unique_ptr<TChatLog> ChatLog;
    std::unique_ptr<class TNotifier> Notifier;
    bool UserEnded = false; // DisConnect or 強制切断: the session is not taken up again
    int ReconnectTries = 0; // tries since the server went away
    qint64 LastHeardAt = 0; // when the server last sent something
    bool KeepAlivePinged = false;
    qint64 PaceTimerAt = -1; // when ServerPaceTimer is set to fire
    bool ClientFirstLine = false; // the chat client's first line is still to come
    AnsiString ServerBuffer;
    AnsiString ClientBuffer;
    AnsiString LocalAddress;
    AnsiString GlobalAddress;
    TCustomWinSocket* ClientConnection = nullptr; // owned by ServerSocket
    TAnswerLimit CtcpLimit;
    bool Flashing = false;
    AnsiString ExeName;
    TStringList* KeywordList = nullptr;
    // What a chat client's PASS must say to attach to a detached session
    // ("StayPassword"); empty: none is asked.
    AnsiString StayPassword;
};

// The main window object, created by the program entry.
extern TNimboChat* NimboChat;

// The upstream server shown in ClientEdit until the user stores another.
extern const char* const DefaultUpstreamHost;
// The support address named in the USERINFO reply.
extern const char* const SupportAddress;
