// The window's side of the chat logs (ログ保存): what the server and the user
// send goes to the log while the switch is on; the log writes from a timer
// of its own, at the end of a session and at exit, never inside a socket
// event.
#include "relay/main_window.h"

void TNimboChat::LogServerLine(const AnsiString& Received)
{
    if (!LogCheckBox->Checked())
        return;
    // Before the stay session follows the line: a QUIT goes to the channels
    // the nick was in.
    ChatLog->FromServer(Received, Stay.Nick(), Stay.CaseMapping(),
                        [this](const AnsiString& Nick) { return Stay.ChannelsOf(Nick); });
    LogFlushTimer->SetEnabled(true);
}

void TNimboChat::LogUserLine(const AnsiString& Jis)
{
    if (!LogCheckBox->Checked())
        return;
    ChatLog->FromUser(Jis, Stay.Nick(), Stay.CaseMapping());
    LogFlushTimer->SetEnabled(true);
}

void TNimboChat::FlushChatLog()
{
    ChatLog->Flush();
    LogFlushTimer->SetEnabled(ChatLog->Waiting() > 0);
}
