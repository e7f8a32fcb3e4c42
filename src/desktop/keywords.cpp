// Keyword alerts: the keyword list, the search of chat lines, the editor's
// opening, and the window flash with its start and stop.
#include "desktop/Eform.h"
#include "desktop/registry_values.h"
#include "kanji/sjis_search.h"
#include "relay/main_window.h"

namespace {

const char* const KeywordKey = "\\SOFTWARE\\Orvane\\NimboChat\\KeyWord";
constexpr int StoredKeywordLimit = 999;

} // namespace

bool TNimboChat::LoadKeywords()
{
    bool ok = true;
    {
        TRegistryKey key;
        if (!key.Open(KeywordKey, false))
            ok = false;
        for (int i = 0; ok && i < StoredKeywordLimit; ++i) {
            const std::string name = std::to_string(i);
            if (!key.Exists(name.c_str()))
                break;
            AnsiString keyword;
            ok = key.ReadText(name.c_str(), keyword);
            if (ok)
                KeywordList->Add(keyword);
        }
    }
    if (!ok)
        KeywordList->Clear(); // never a partial list
    return ok;
}

bool TNimboChat::SaveKeywords()
{
    TRegistryKey key;
    if (!key.Open(KeywordKey, true))
        return false;
    int i = 0;
    for (; i < KeywordList->Count() && i < StoredKeywordLimit; ++i)
        if (!key.WriteText(std::to_string(i).c_str(), (*KeywordList)[i]))
            return false;
    // Remove what a longer earlier list left behind, up to the first gap.
    for (; i < StoredKeywordLimit; ++i) {
        const std::string name = std::to_string(i);
        if (!key.Exists(name.c_str()))
            break;
        key.Delete(name.c_str());
    }
    return key.Close(); // the file is written when the key closes
}

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
    KeyEditForm->Fill(KeywordList->Items());
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
