// The operator console: the message line sends a chat line to the channel in
// the channel box, or, after "/", a raw command line.
#include "relay/main_window.h"

void TNimboChat::SendButtonClick(TObject*)
{
    const AnsiString message = MessageEdit->Text();
    if (message.empty())
        return;
    if (message[0] == '/') {
        const AnsiString command = message.substr(1);
        AddLog(command, clGreen, false);
        SendServerLine(command);
    } else if (const AnsiString channel = ChannelEdit->Text(); !channel.empty()) {
        const AnsiString line = "PRIVMSG " + channel + " :" + message;
        AddLog(line, clBlack, false);
        SendServerLine(line);
    }
    MessageEdit->SetText("");
}
