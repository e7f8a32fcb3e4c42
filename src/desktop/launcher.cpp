// The chat client launcher: the path on the ChatClient page, its file dialog,
// and the start of the program through the shell.
#include "desktop/launcher.h"

#include "kanji/sjis_bytes.h"
#include "relay/main_window.h"
#include "winapi/shell.h"

namespace {

// The shell's DDE failures: this system's shell has no DDE and never gives
// them, but their texts belong to the launcher's table of results.
constexpr std::intptr_t DdeTimeout = 28;
constexpr std::intptr_t DdeFailed = 29;
constexpr std::intptr_t DdeBusy = 30;

} // namespace

AnsiString ClientWorkingDirectory(const AnsiString& Path)
{
    auto last = AnsiString::npos;
    const bool sjis = !IsUtf8FileName(Path); // in UTF-8 no byte of a character is '\' or '/'
    for (AnsiString::size_type i = 0; i < Path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(Path[i]);
        if (sjis && IsSjisLeadByte(c))
            ++i; // the second byte belongs to the character
        else if (c == '\\' || c == '/')
            last = i;
    }
    if (last == AnsiString::npos)
        return {};
    // Without a drive the root keeps its separator: an empty folder would
    // mean our own current folder instead.
    return Path.substr(0, last == 0 ? 1 : last);
}

AnsiString LaunchErrorText(std::intptr_t Result)
{
    switch (Result) {
    case SE_ERR_OUT_OF_RESOURCES: return Sjis("システムに､ メモリまたはリソースが足りません。");
    case SE_ERR_FNF: return Sjis("指定されたファイルが見つかりませんでした。");
    case SE_ERR_PNF: return Sjis("指定されたパスが見つかりませんでした。");
    case ERROR_BAD_FORMAT: return Sjis(".EXEファイルが無効です (Win32 .EXEではないか､ .EXEイメージ内のエラーです)。");
    case SE_ERR_SHARE: return Sjis("共有違反が発生しました。");
    case SE_ERR_ASSOCINCOMPLETE: return Sjis("ファイル名の関連付けが不完全､ または無効です。");
    case DdeTimeout: return Sjis("要求タイム アウトのためにDDEトランザクションを完了できませんでした。");
    case DdeFailed: return Sjis("DDEトランザクションが失敗しました。");
    case DdeBusy:
        return Sjis("ほかのDDEトランザクションが処理されているために､ DDEトランザクションを完了できませんでした。");
    case SE_ERR_NOASSOC: return Sjis("指定されたファイル名拡張子には､ アプリケーションが関連付けられていません。");
    default: return Sjis("不明なエラー");
    }
}

// Starts the program named in ClientPathEdit in its own folder. The shell
// starts it detached: it is not watched and never lingers as our zombie. A
// failure is shown once the running event has returned; a document's opener
// reports later, when it has ended.
void TNimboChat::LaunchClient()
{
    const AnsiString File = ClientPathEdit->Text();
    if (File.empty())
        return;
    ShellStart(File.c_str(), ClientWorkingDirectory(File).c_str(), [](std::intptr_t Result) {
        if (Result < FirstSuccess)
            Application->MessageBoxLater(LaunchErrorText(Result), Sjis("エラー"), MB_OK);
    });
}

// The button and the tray item ask for the client: without a path, they
// say that none is set.
void TNimboChat::LaunchClientAsked()
{
    if (ClientPathEdit->Text().empty())
        Application->MessageBoxLater(Sjis("チャットクライアントが設定されていません。"), Sjis("エラー"), MB_OK);
    else
        LaunchClient();
}

void TNimboChat::PathButtonClick(TObject*)
{
    if (ClientOpenDialog->Execute() && !ClientOpenDialog->FileName.empty())
        ClientPathEdit->SetText(ClientOpenDialog->FileName);
}

// The dialog opens on the path in the edit; an emptied edit leaves the
// dialog's file as it was.
void TNimboChat::ClientPathEditChange(TObject*)
{
    if (!ClientPathEdit->Text().empty())
        ClientOpenDialog->FileName = ClientPathEdit->Text();
}

void TNimboChat::ExeButtonClick(TObject*)
{
    LaunchClientAsked();
}
