// The operator console: the message line sends a chat line to the channel in
// the channel box, or, after "/", a raw command line. What the user typed is
// taken in UTF-8 and converted as a UTF-8 chat client's line: every
// character JIS holds, half-width katakana full-width, the rest as 〓, and a
// line too long for IRC sent as lines the server passes on whole.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "relay/main_window.h"

#include <QDateTime>

void TNimboChat::SendButtonClick(TObject*)
{
    if (MessageEdit->Text().empty())
        return;
    const AnsiString message = MessageEdit->Utf8Text();
    if (message[0] == '/')
        SendTyped(message.substr(1), clGreen);
    else if (!ChannelEdit->Text().empty())
        SendTyped("PRIVMSG " + ChannelEdit->Utf8Text() + " :" + message, clBlack);
    MessageEdit->SetText("");
}

void TNimboChat::SendTyped(const AnsiString& Utf8, TColor Colour)
{
    AnsiString jis, display;
    int replaced = 0;
    Utf8ToJis(jis, OneLine(Utf8), replaced);
    NoteReplaced(replaced);
    AddLog(KanjiConvert(display, jis, kcJis, kcShiftJis, 1), Colour, false);
    SendFitted(jis);
    Stay.FromUser(jis, QDateTime::currentMSecsSinceEpoch()); // kept for a chat client that comes back
    LogUserLine(jis);
}
