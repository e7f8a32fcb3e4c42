// Keyword alerts: the keyword list, the search of chat lines, the editor's
// opening, and the window flash with its start and stop.
#include "desktop/Eform.h"
#include "kanji/sjis_search.h"
#include "relay/main_window.h"

bool TNimboChat::KeywordMatches(const AnsiString& Text) const
{
    bool matched = false;
    for (const AnsiString& keyword : KeywordList->Items())
        matched = SjisContains(Text, keyword) || matched; // every entry is tried
    return matched;
}

void TNimboChat::SetKeywords(const std::vector<AnsiString>& Keywords)
{
    KeywordList->Clear();
    for (const AnsiString& keyword : Keywords)
        KeywordList->Add(keyword);
}

void TNimboChat::KeyEditButtonClick(TObject*)
{
    if (!KeyEditForm)
        return;
    AnsiString text;
    for (const AnsiString& keyword : KeywordList->Items())
        text += keyword + "\r\n";
    KeyEditForm->KeyEditMemo->SetText(text);
    KeyEditForm->Show();
    KeyEditForm->Widget()->raise();
    KeyEditForm->Widget()->activateWindow();
}

void TNimboChat::KeywordCheckBoxClick(TObject*)
{
    FlashCheckBox->SetEnabled(KeywordCheckBox->Checked());
}

void TNimboChat::SetFlashing(bool On)
{
    if (On == Flashing)
        return;
    Flashing = On;
    if (!On)
        FlashWindow(false);
}

void TNimboChat::FlashTimerTimer(TObject*)
{
    if (Flashing)
        FlashWindow(true);
}

void TNimboChat::WMActivate(TWMActivate& Message)
{
    if (Message.Active == WA_ACTIVE || Message.Active == WA_CLICKACTIVE)
        SetFlashing(false);
}
