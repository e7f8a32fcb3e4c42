#include "relay/main_window.h"

#include "desktop/notifier.h"

#include "kanji/kanji_convert.h"

#include <QCoreApplication>
#include <QStringList>
#include <chrono>
#include <cstdlib>

TNimboChat* NimboChat = nullptr;

// IRCnet's Japanese server: the network whose channels speak JIS, which is
// what this relay was made for.
const char* const DefaultUpstreamHost = "irc.ircnet.ne.jp";
const char* const SupportAddress = "support@nimbochat.example";

namespace {

constexpr int ClientWidthPx = 398;
constexpr int ClientHeightPx = 337;

} // namespace

TNimboChat::TNimboChat(TComponent* Owner) : TForm(Owner)
{
    SetCaption("NimboChat");
    SetFixedClientSize(ClientWidthPx, ClientHeightPx);
    // The window's own font first; an installed Japanese font where it is missing.
    SetFont({QString::fromUtf8("ＭＳ Ｐゴシック"), "Noto Sans CJK JP", "Noto Sans JP", "IPAPGothic"}, 12);
    CreateControls();
    WireEvents();
    QStringList args = QCoreApplication::arguments();
    ExeName = args.isEmpty() ? AnsiString() : FromQString(args.first());
    FormCreate(this);
}

TNimboChat::~TNimboChat()
{
    FormDestroy(this);
}

void TNimboChat::CreateControls()
{
    PageControl1 = new TPageControl(this, this);
    PageControl1->SetBounds(4, 4, 302, 118);
    CreateServerPage();
    CreateClientPage();
    CreateChatClientPage();
    CreateOtherPage();
    PageControl1->SetActivePage(TabSheet1);

    ConnectButton = new TButton(this, this, "Connect");
    ConnectButton->SetBounds(312, 26, 82, 25);
    ConnectButton->SetDefault(true);
    KillButton = new TButton(this, this, Sjis("強制切断"));
    KillButton->SetBounds(312, 56, 82, 25);
    KillButton->SetEnabled(false);
    ExeButton = new TButton(this, this, Sjis("Client実行"));
    ExeButton->SetBounds(312, 86, 82, 25);

    LogRichEdit = new TRichEdit(this, this);
    LogRichEdit->SetBounds(4, 126, 390, 153);

    MessageEdit = new TEdit(this, this);
    MessageEdit->SetBounds(4, 284, 222, 23);
    ChannelEdit = new TEdit(this, this);
    ChannelEdit->SetBounds(230, 284, 76, 23);
    ChannelEdit->SetText("#leaf");
    SendButton = new TButton(this, this, "Send");
    SendButton->SetBounds(312, 283, 82, 25);
    ScrollCheckBox = new TCheckBox(this, this, Sjis("ログ固定"));
    ScrollCheckBox->SetBounds(6, 312, 120, 20);

    ClientSocket = new TClientSocket(this);
    ClientSocket->Port = 6667;
    ClientSocket->Host = ClientEdit->Text();
    ServerSocket = new TServerSocket(this);
    ServerSocket->Port = 6667;
    ClientOpenDialog = new TOpenDialog(this);
    // Programs on Linux have no .exe, so all files can be chosen as well.
    ClientOpenDialog->Filter = Sjis("実行ファイル (*.exe)|*.EXE|すべてのファイル (*)|*");
    ClientOpenDialog->DefaultExt = "exe";

    CreateMenu();
    FlashTimer = new TTimer(this);
    FlashTimer->SetInterval(1000);
    FlashTimer->SetEnabled(true);
    LinePumpTimer = new TTimer(this);
    LinePumpTimer->SetInterval(0);
    PortSettleTimer = new TTimer(this);
    PortSettleTimer->SetInterval(PortSettleMs);
    GlobalSettleTimer = new TTimer(this);
    GlobalSettleTimer->SetInterval(AddressSettleMs);
    WelcomeTimer = new TTimer(this);
    WelcomeTimer->SetInterval(WelcomeWaitMs);
    ReconnectTimer = new TTimer(this);
    ServerPaceTimer = new TTimer(this);
    KeepAliveTimer = new TTimer(this);
    LogFlushTimer = new TTimer(this);
    LogFlushTimer->SetInterval(1000);
    CtcpFloodTimer = new TTimer(this);
    CtcpFloodTimer->SetInterval(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(TAnswerLimit::Interval).count()));
}

void TNimboChat::CreateServerPage()
{
    TabSheet1 = new TTabSheet(this, PageControl1, "ToServer");
    Label1 = new TLabel(this, TabSheet1, "Server");
    Label1->SetBounds(8, 11, 84, 16);
    ClientEdit = new TEdit(this, TabSheet1);
    ClientEdit->SetBounds(96, 8, 190, 22);
    ClientEdit->SetText(DefaultUpstreamHost);
    Label2 = new TLabel(this, TabSheet1, "Port");
    Label2->SetBounds(8, 37, 84, 16);
    ClientPortEdit = new TEdit(this, TabSheet1);
    ClientPortEdit->SetBounds(96, 34, 56, 22);
    ClientUpDown = new TUpDown(this, TabSheet1, ClientPortEdit, 0, 9999, 6667);
    ClientUpDown->SetBounds(152, 34, 16, 22);
    SslCheckBox = new TCheckBox(this, TabSheet1, "SSL");
    SslCheckBox->SetBounds(184, 35, 60, 20);
    Label3 = new TLabel(this, TabSheet1, "NickName");
    Label3->SetBounds(8, 63, 84, 16);
    NickEdit = new TEdit(this, TabSheet1);
    NickEdit->SetBounds(96, 60, 120, 22);
    NickEdit->SetText("Nick");
}

void TNimboChat::CreateClientPage()
{
    TabSheet2 = new TTabSheet(this, PageControl1, "ToClient");
    Label4 = new TLabel(this, TabSheet2, "Local Address");
    Label4->SetBounds(8, 11, 86, 16);
    LocalEdit = new TEdit(this, TabSheet2);
    LocalEdit->SetBounds(96, 8, 130, 22);
    Label5 = new TLabel(this, TabSheet2, "Global Address");
    Label5->SetBounds(8, 37, 86, 16);
    GlobalEdit = new TEdit(this, TabSheet2);
    GlobalEdit->SetBounds(96, 34, 130, 22);
    Label6 = new TLabel(this, TabSheet2, "Port");
    Label6->SetBounds(8, 63, 86, 16);
    ServerPortEdit = new TEdit(this, TabSheet2);
    ServerPortEdit->SetBounds(96, 60, 56, 22);
    ServerUpDown = new TUpDown(this, TabSheet2, ServerPortEdit, 0, 9999, 6667);
    ServerUpDown->SetBounds(152, 60, 16, 22);
    ConvertCheckBox = new TCheckBox(this, TabSheet2, Sjis("変換"));
    ConvertCheckBox->SetBounds(234, 10, 60, 20);
    Utf8CheckBox = new TCheckBox(this, TabSheet2, "UTF-8");
    Utf8CheckBox->SetBounds(234, 36, 70, 20);
    StayCheckBox = new TCheckBox(this, TabSheet2, Sjis("切断後も接続維持"));
    StayCheckBox->SetBounds(176, 62, 120, 20);
}

void TNimboChat::CreateChatClientPage()
{
    TabSheet3 = new TTabSheet(this, PageControl1, "ChatClient");
    Label7 = new TLabel(this, TabSheet3, "ClientPath");
    Label7->SetBounds(8, 11, 80, 16);
    ClientPathEdit = new TEdit(this, TabSheet3);
    ClientPathEdit->SetBounds(8, 30, 226, 22);
    ClientPathEdit->SetHoldsFileName(true);
    PathButton = new TButton(this, TabSheet3, Sjis("参照"));
    PathButton->SetBounds(238, 29, 52, 24);
    AutoCheckBox = new TCheckBox(this, TabSheet3, Sjis("自動実行"));
    AutoCheckBox->SetBounds(8, 60, 120, 20);
}

void TNimboChat::CreateOtherPage()
{
    TabSheet4 = new TTabSheet(this, PageControl1, Sjis("その他"));
    MinCheckBox = new TCheckBox(this, TabSheet4, Sjis("最小化で実行"));
    MinCheckBox->SetBounds(8, 6, 130, 20);
    TaskCheckBox = new TCheckBox(this, TabSheet4, Sjis("タスクトレイに表示"));
    TaskCheckBox->SetBounds(8, 30, 140, 20);
    KeywordCheckBox = new TCheckBox(this, TabSheet4, Sjis("キーワード有効"));
    KeywordCheckBox->SetBounds(150, 6, 130, 20);
    KeyEditButton = new TButton(this, TabSheet4, Sjis("キーワード"));
    KeyEditButton->SetBounds(168, 29, 100, 24);
    FlashCheckBox = new TCheckBox(this, TabSheet4, Sjis("ウィンドウを点滅させる"));
    FlashCheckBox->SetBounds(8, 56, 152, 20);
    NotifyCheckBox = new TCheckBox(this, TabSheet4, Sjis("通知"));
    NotifyCheckBox->SetBounds(164, 56, 56, 20);
    LogCheckBox = new TCheckBox(this, TabSheet4, Sjis("ログ保存"));
    LogCheckBox->SetBounds(222, 56, 76, 20);
    FlashCheckBox->SetChecked(true);
    FlashCheckBox->SetEnabled(false);
}

void TNimboChat::CreateMenu()
{
    RMenu = new TPopupMenu(this);
    RestoreItem = new TMenuItem(this, Sjis("元のｻｲｽﾞに戻す(&R)"));
    RestoreItem->SetEnabled(false);
    MinItem = new TMenuItem(this, Sjis("最小化(&N)"));
    N2 = new TMenuItem(this, "-");
    ExeItem = new TMenuItem(this, Sjis("Client実行(&E)"));
    LogFolderItem = new TMenuItem(this, Sjis("ログフォルダを開く(&L)"));
    N1 = new TMenuItem(this, "-");
    QuitItem = new TMenuItem(this, Sjis("Nimboチャットを終了(&Q)"));
    for (TMenuItem* item : {RestoreItem, MinItem, N2, ExeItem, LogFolderItem, N1, QuitItem})
        RMenu->Add(item);
}

void TNimboChat::WireEvents()
{
    ConnectButton->OnClick = [this](TObject* s) { ConnectButtonClick(s); };
    KillButton->OnClick = [this](TObject* s) { KillButtonClick(s); };
    SendButton->OnClick = [this](TObject* s) { SendButtonClick(s); };
    ClientPortEdit->OnChange = [this](TObject* s) { ClientPortEditChange(s); };
    SslCheckBox->OnClick = [this](TObject* s) { SslCheckBoxClick(s); };
    ClientSocket->OnConnect = [this](TObject* s, TCustomWinSocket* c) { ClientSocketConnect(s, c); };
    ClientSocket->OnDisconnect = [this](TObject* s, TCustomWinSocket* c) { ClientSocketDisconnect(s, c); };
    ClientSocket->OnRead = [this](TObject* s, TCustomWinSocket* c) { ClientSocketRead(s, c); };
    ClientSocket->OnWrite = [this](TObject* s, TCustomWinSocket* c) { ClientSocketWrite(s, c); };
    ClientSocket->OnError = [this](TObject* s, TCustomWinSocket* c, TErrorEvent e, int& code) {
        ClientSocketError(s, c, e, code);
    };
    ServerSocket->OnClientConnect = [this](TObject* s, TCustomWinSocket* c) { ServerSocketClientConnect(s, c); };
    ServerSocket->OnClientRead = [this](TObject* s, TCustomWinSocket* c) { ServerSocketClientRead(s, c); };
    ServerSocket->OnClientWrite = [this](TObject* s, TCustomWinSocket* c) { ServerSocketClientWrite(s, c); };
    ServerSocket->OnClientDisconnect = [this](TObject* s, TCustomWinSocket* c) { ServerSocketClientDisconnect(s, c); };
    ServerPortEdit->OnChange = [this](TObject* s) { ServerPortEditChange(s); };
    ServerPortEdit->OnExit = [this](TObject*) { ApplyListenerPort(); };
    PortSettleTimer->OnTimer = [this](TObject*) { ApplyListenerPort(); };
    WelcomeTimer->OnTimer = [this](TObject*) { ReleaseWelcome(); };
    ReconnectTimer->OnTimer = [this](TObject*) { Reconnect(); };
    ServerPaceTimer->OnTimer = [this](TObject*) { SendStayLines(); };
    KeepAliveTimer->OnTimer = [this](TObject*) { KeepAliveTick(); };
    LogFlushTimer->OnTimer = [this](TObject*) { FlushChatLog(); };
    LocalEdit->OnChange = [this](TObject* s) { LocalEditChange(s); };
    GlobalEdit->OnChange = [this](TObject* s) { GlobalEditChange(s); };
    GlobalEdit->OnExit = [this](TObject*) { SettleGlobalAddress(); };
    GlobalSettleTimer->OnTimer = [this](TObject*) { SettleGlobalAddress(); };
    KeywordCheckBox->OnClick = [this](TObject* s) { KeywordCheckBoxClick(s); };
    KeyEditButton->OnClick = [this](TObject* s) { KeyEditButtonClick(s); };
    FlashTimer->OnTimer = [this](TObject* s) { FlashTimerTimer(s); };
    LinePumpTimer->OnTimer = [this](TObject*) { ContinueServerLines(); };
    CtcpFloodTimer->OnTimer = [this](TObject*) { NoteUnanswered(); };
    WireDesktopEvents();
}

void TNimboChat::FormCreate(TObject*)
{
    KeywordList = new TStringList;
    ChatLog = std::make_unique<TChatLog>(TChatLog::DefaultRoot(), TChatLog::TClock(),
                                         [this](const QString& Failure) { AddLog(FromQString(Failure), clRed, false); });
    Notifier = std::make_unique<TNotifier>([this] { RestoreItemClick(this); });
    Application->OnMinimize = [this](TObject* Sender) { ApplicationMinimize(Sender); };
    Application->OnRestore = [this](TObject* Sender) { ApplicationRestore(Sender); };
    // Errors that come while an error box is open are logged instead of stacking boxes.
    Application->OnExceptionWhileShown = [this](const std::exception& E) { AddLog(E.what(), clRed, false); };
    // At logout the program may be stopped before its exit: what the exit saves is saved now.
    Application->OnEndSession = [this](TObject*) {
        SaveSettings();
        SaveKeywords();
        SaveStayState();
        ChatLog->Flush();
    };
    LoadSettings();
    LoadKeywords();
    if (MinCheckBox->Checked())
        SetWindowState(wsMinimized);
    if (TaskCheckBox->Checked())
        AddTrayIcon();
    OpenListener();
    ListenerOpened = true;
    TakeUpStayState();
    if (AutoCheckBox->Checked())
        LaunchClient();
}

void TNimboChat::FormDestroy(TObject*)
{
    SessionState = ssClosing;
    // The port box loses its focus while the window's widgets go, after this.
    ServerPortEdit->OnExit = nullptr;
    GlobalEdit->OnExit = nullptr;
    SaveStayState();
    if (ServerSocket->Active())
        ServerSocket->Close();
    if (ClientSocket->Active())
        ClientSocket->Close();
    SaveSettings();
    SaveKeywords();
    ChatLog->Flush();
    DeleteTrayIcon();
    if (Application) {
        Application->OnMinimize = nullptr;
        Application->OnRestore = nullptr;
        Application->OnExceptionWhileShown = nullptr;
        Application->OnEndSession = nullptr;
    }
    delete KeywordList;
    KeywordList = nullptr;
}

void TNimboChat::AddLog(const AnsiString& Text, TColor Colour, bool Bold)
{
    try {
        int SelStart = LogRichEdit->SelStart();
        int SelLength = LogRichEdit->SelLength();
        if (LogRichEdit->LineTextCount() >= LogLineLimit) {
            // The selection moves with its text: by the removed line and its line end.
            SelStart -= LogRichEdit->LineLengthWithEnd(0);
            if (SelStart < 0) {
                SelStart = 0;
                SelLength = 0;
            }
            LogRichEdit->DeleteLine(0);
        }
        LogRichEdit->SetSelStart(LogRichEdit->TextLength());
        LogRichEdit->SetSelColor(Colour);
        LogRichEdit->SetSelBold(Bold);
        LogRichEdit->AddLine(Text);
        LogRichEdit->SetSelStart(SelStart);
        LogRichEdit->SetSelLength(SelLength);
        // The newest line at the bottom of the view, when the view is next drawn.
        if (!ScrollCheckBox->Checked())
            LogRichEdit->ScrollToBottom();
    } catch (const std::exception&) {
        LogRichEdit->Clear();
        LogRichEdit->SetSelColor(clRed);
        LogRichEdit->SetSelBold(false);
        LogRichEdit->AddLine("Text Append Error");
    }
}

void TNimboChat::SendServerLine(AnsiString Line)
{
    AnsiString Jis;
    KanjiConvert(Jis, OneLine(std::move(Line)) + "\r\n", kcShiftJis, kcJis, 1);
    ClientSocket->Socket()->SendText(Jis);
}
