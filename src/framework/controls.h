// The standard controls of the program's windows. Texts are Shift_JIS and
// converted at the Qt boundary. Every event runs through DispatchEvent, so an
// exception from a handler is shown and never crosses the event loop.
#pragma once

#include "framework/forms.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QCheckBox;
class QTabWidget;
class QTimer;
class QMenu;
class QAction;
class QPlainTextEdit;

class TLabel : public TControl {
public:
    TLabel(TComponent* Owner, TControl* Parent, const AnsiString& Caption);
    AnsiString Caption() const;
};

// A one-line edit. Its text has no length limit, so a text set from code
// always comes back whole and, unless the user edits it, byte for byte.
class TEdit : public TControl {
public:
    TEdit(TComponent* Owner, TControl* Parent);
    AnsiString Text() const;
    // The text in UTF-8, not Shift_JIS: every character as typed, also those
    // Shift_JIS cannot hold (an emoji) or holds only as half-width bytes.
    AnsiString Utf8Text() const;
    // Runs OnChange only when the text really changes.
    void SetText(const AnsiString& Value);
    // Runs on every change of the text, by the user or by SetText.
    TNotifyEvent OnChange;
    // True while OnChange runs for a change the user typed.
    bool Typed() const { return FTyped; }
    // Runs when the user leaves the edit (or presses Enter in it) after
    // changing its text.
    TNotifyEvent OnExit;
    // An edit that holds a file name takes and gives its text in the file
    // name form of framework/ansi_string.h, so that a name Shift_JIS cannot
    // hold, typed or set, comes out as that name. Off by default.
    void SetHoldsFileName(bool Value);

protected:
    TEdit(TComponent* Owner, QWidget* Widget);

private:
    QLineEdit* Edit() const;
    bool FHoldsFileName = false;
    bool FTyped = false;
};

// A multi-line plain edit (the keyword editor's memo). Line ends are held,
// and read back, as LF; CR LF and a lone CR are taken as LF.
class TMemo : public TControl {
public:
    TMemo(TComponent* Owner, TControl* Parent);
    AnsiString Text() const;
    void SetText(const AnsiString& Value);
};

class TButton : public TControl {
public:
    TButton(TComponent* Owner, TControl* Parent, const AnsiString& Caption);
    AnsiString Caption() const;
    void SetCaption(const AnsiString& Value);
    // The default button is pressed by Enter anywhere in its form.
    bool Default() const;
    void SetDefault(bool Value);
    // The cancel button is pressed by Esc anywhere in its form.
    void SetCancel(bool Value);
    // Runs OnClick as a press of the button would (when enabled).
    void Click();
    TNotifyEvent OnClick;

private:
    QPushButton* Button() const;
};

class TCheckBox : public TControl {
public:
    TCheckBox(TComponent* Owner, TControl* Parent, const AnsiString& Caption);
    AnsiString Caption() const;
    bool Checked() const;
    // Runs OnClick when the state changes, whether by the user or from code.
    void SetChecked(bool Value);
    TNotifyEvent OnClick;

private:
    QCheckBox* Box() const;
};

// An up-down spinner bound to an edit. Its position shows in the edit, and
// reading the position takes the number in the edit when it is a decimal
// number within Min..Max; otherwise the last valid position stays.
class TUpDown : public TControl {
public:
    TUpDown(TComponent* Owner, TControl* Parent, TEdit* Associate, int Min, int Max, int Position);
    int Min() const { return FMin; }
    int Max() const { return FMax; }
    int Position() const;
    // Clamps to Min..Max and writes the number into the edit.
    void SetPosition(int Value);
    // One step up or down, as the arrows do; no wrap at the ends.
    void Step(int Delta);

private:
    TEdit* FAssociate;
    int FMin;
    int FMax;
    mutable int FPosition;
};

class TTabSheet;

class TPageControl : public TControl {
public:
    TPageControl(TComponent* Owner, TControl* Parent);
    int PageCount() const;
    TTabSheet* ActivePage() const;
    void SetActivePage(TTabSheet* Page);

private:
    friend class TTabSheet;
    QTabWidget* Tabs() const;
    std::vector<TTabSheet*> FPages;
};

class TTabSheet : public TControl {
public:
    TTabSheet(TComponent* Owner, TPageControl* PageControl, const AnsiString& Caption);
    AnsiString Caption() const;

private:
    TPageControl* FPageControl;
};

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* Owner);
    ~TTimer() override;
    bool Enabled() const;
    void SetEnabled(bool Value);
    int Interval() const;
    void SetInterval(int Ms);
    TNotifyEvent OnTimer;

private:
    QTimer* FTimer;
};

class TMenuItem : public TComponent {
public:
    // A caption of "-" makes a separator.
    TMenuItem(TComponent* Owner, const AnsiString& Caption);
    ~TMenuItem() override;
    AnsiString Caption() const;
    bool Enabled() const;
    void SetEnabled(bool Value);
    bool IsSeparator() const;
    void Click();
    QAction* Action() const { return FAction; }
    TNotifyEvent OnClick;

private:
    QAction* FAction;
};

class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* Owner);
    ~TPopupMenu() override;
    void Add(TMenuItem* Item);
    int Count() const { return static_cast<int>(FItems.size()); }
    TMenuItem* Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
    // Runs OnPopup, then shows the menu at the screen position and returns at once.
    void Popup(int X, int Y);
    QMenu* Menu() const { return FMenu; }
    TNotifyEvent OnPopup;

private:
    QMenu* FMenu;
    std::vector<TMenuItem*> FItems;
};
