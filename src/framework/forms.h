// Forms and the base of every visible control. A control wraps one Qt widget
// that it owns; the form's client area is the form widget itself, so a
// form's client size is exactly the widget's size.
#pragma once

#include "framework/classes.h"
#include "winapi/windows.h"

#include <QPointer>
#include <QWidget>

class TForm;

// Marks a push button as its form's cancel button (pressed by Esc).
extern const char* const CancelProperty;

class TControl : public TComponent {
public:
    TControl(TComponent* Owner, QWidget* Widget);
    ~TControl() override;

    QWidget* Widget() const { return FWidget; }
    void SetBounds(int Left, int Top, int Width, int Height);
    int Width() const;
    int Height() const;
    bool Enabled() const;
    void SetEnabled(bool Value);
    bool Visible() const;
    void SetVisible(bool Value);
    void SetFocus();

private:
    QPointer<QWidget> FWidget;
};

using TColor = int; // 0x00BBGGRR
constexpr TColor clBlack = 0x000000;
constexpr TColor clGreen = 0x008000;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clRed = 0x0000FF;

enum TWindowState { wsNormal, wsMinimized };

struct TWMActivate {
    WORD Active = WA_INACTIVE; // WA_INACTIVE, WA_ACTIVE or WA_CLICKACTIVE
    BOOL Minimized = 0;
};

// A generic window message, as the tray icon's callback delivers it.
struct TMessage {
    UINT Msg = 0;
    std::intptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::intptr_t Result = 0;
};

class TForm : public TControl {
public:
    explicit TForm(TComponent* Owner);
    ~TForm() override;

    AnsiString Caption() const;
    void SetCaption(const AnsiString& Value);
    // Fixes the client area at this size: the window cannot be resized and has
    // no maximise button.
    void SetFixedClientSize(int Width, int Height);
    int ClientWidth() const;
    int ClientHeight() const;
    // Font families tried in order, and the height in pixels.
    void SetFont(const QStringList& Families, int PixelHeight);

    // Shows the form in its state: one set to minimised while hidden appears
    // minimised, and for the main form the after-minimise event runs.
    void Show();
    void Hide();
    // The state the program gave the form or the user gave its window. A
    // hidden form keeps it: a window minimised into the tray stays minimised
    // whatever the window system reports for a window it no longer shows.
    TWindowState WindowState() const { return FWindowState; }
    // Minimising a form that is not shown only records the state for Show();
    // restoring shows the form in front. For the main form, a change of
    // state runs the application's after-minimise or after-restore event.
    void SetWindowState(TWindowState State);
    // True while this window is the active window of the desktop.
    bool Active() const;
    // The window's alert highlight, for its frame and its taskbar entry:
    // Invert true toggles it, false resets it to the normal look. While
    // highlighted, the caption carries a mark and the window asks the
    // desktop for attention.
    void FlashWindow(bool Invert);
    bool Highlighted() const { return FHighlighted; }

    // Window messages, after the framework's own handling.
    virtual void WMActivate(TWMActivate& Message);
    virtual void WMUser(TMessage& Message);

    // The window widget, for the framework's event filter.
    class FormWidget;

private:
    void ShowCaption();
    void StateChanged(TWindowState State);
    void NotifyState();

    AnsiString FCaption;
    TWindowState FWindowState = wsNormal;
    bool FHighlighted = false;
};
