// Keyword hits on the desktop (通知) and the chat logs' folder in the menu.
#include "desktop/launcher.h"
#include "desktop/notifier.h"
#include "relay/chat_log.h"
#include "relay/main_window.h"
#include "winapi/shell.h"

#include <QDir>

void TNimboChat::NotifyHit(const TIrcLine& Line)
{
    if (!NotifyCheckBox->Checked())
        return;
    const AnsiString target = Line.Params.substr(0, std::min(Line.Params.find(' '), Line.Params.size()));
    const AnsiString nick = Line.Prefix.substr(0, std::min(Line.Prefix.find('!'), Line.Prefix.size()));
    Notifier->Hit(ToQString(nick), IsChannelName(target) ? ToQString(target) : QString(),
                  ToQString(MessageText(Line.Params)));
}

void TNimboChat::LogFolderItemClick(TObject*)
{
    const QString folder = TChatLog::DefaultRoot();
    QDir().mkpath(folder);
    const AnsiString path = FileNameFromQString(folder);
    ShellStart(path.c_str(), path.c_str(), [](std::intptr_t Result) {
        if (Result < FirstSuccess)
            Application->MessageBoxLater(Sjis("ログフォルダを開けませんでした。"), Sjis("エラー"), MB_OK);
    });
}
