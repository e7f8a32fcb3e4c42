// TKeyEditForm: the keyword editor, a non-modal dialog that lives hidden
// beside the main window from start-up to the end of the program.
#pragma once

#include "framework/controls.h"

class TKeyEditForm : public TForm {
public:
    explicit TKeyEditForm(TComponent* Owner);

    TMemo* KeyEditMemo;
    TButton* OkBitBtn;
    TButton* CancelBitBtn;

    // Fills the memo with the entries, each followed by CR LF, and keeps
    // them: until the memo's text changes, OK gives back exactly these
    // entries, also those the memo cannot show as they are (an entry
    // holding a line end).
    void Fill(const std::vector<AnsiString>& Entries);
    // Replaces the main window's keyword list by the memo's lines (by the
    // filled entries when the memo is unchanged), then hides.
    void OkBitBtnClick(TObject* Sender);
    // Hides; the keyword list stays as it was.
    void CancelBitBtnClick(TObject* Sender);

private:
    std::vector<AnsiString> FFilled;
    AnsiString FFilledText; // the memo's text right after Fill
};

// The one keyword editor, created by the program entry after the main window.
extern TKeyEditForm* KeyEditForm;

// The lines of a memo text: a line ends at CR LF, a lone CR or a lone LF.
// Lines are kept exactly (no trimming; blank lines are empty entries); text
// after the last line end is the last line; a line end at the very end adds
// no line.
std::vector<AnsiString> SplitMemoLines(const AnsiString& Text);
