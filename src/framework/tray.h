// The notification area ("tray") and the taskbar entry of a form.
//
// Tray icons are QSystemTrayIcon objects in the shape of the shell's
// Shell_NotifyIconA: an icon is known by its owner form and an id, and
// presses on it come to the owner as a window message. An icon belongs to
// its owner's window and goes with it at the latest.
#pragma once

#include "framework/forms.h"

#include <QIcon>
#include <functional>

class QSystemTrayIcon;

// Shell_NotifyIcon messages.
constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_DELETE = 2;
// The parts of TNotifyIconData that NIM_ADD uses.
constexpr UINT NIF_MESSAGE = 1;
constexpr UINT NIF_ICON = 2;
constexpr UINT NIF_TIP = 4;
// Mouse messages of the icon beyond those of winapi/windows.h.
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_MBUTTONDOWN = 0x0207;

struct TNotifyIconData {
    TForm* Wnd = nullptr; // the owner, which gets the callback messages
    UINT ID = 0;
    UINT Flags = 0;           // NIF_ values: which of the fields below count
    UINT CallbackMessage = 0; // with NIF_MESSAGE
    QIcon Icon;               // with NIF_ICON
    AnsiString Tip;           // with NIF_TIP; the first 63 bytes are shown
};

// NIM_ADD shows an icon for (Wnd, ID). It fails, showing nothing, when the
// desktop has no tray (TrayAvailable), when Wnd is null or when the pair has
// an icon already. With NIF_MESSAGE every press on the icon reaches
// Wnd->WMUser, through DispatchEvent, as a TMessage whose Msg is the
// callback message, WParam the id and LParam the mouse message:
//   WM_LBUTTONDOWN    a left press (a click, or the desktop's activation)
//   WM_LBUTTONDBLCLK  the second press of a double click
//   WM_RBUTTONDOWN    a right press (the desktop's context-menu request)
//   WM_MBUTTONDOWN    a middle press
// The icon has no menu of its own: the owner opens one if it wants.
// NIM_DELETE removes the icon of (Wnd, ID); it fails when there is none.
// Any other message fails. The result is true on success.
bool Shell_NotifyIcon(DWORD Message, const TNotifyIconData& Data);

// The icon shown for (Wnd, ID), or null: for looking at its tip and icon,
// and for tests, which press it by emitting its activated signal.
QSystemTrayIcon* TrayIcon(const TForm& Wnd, UINT ID);

// Whether the desktop has a tray to show icons in. The answer is
// QSystemTrayIcon::isSystemTrayAvailable() unless a probe was set.
bool TrayAvailable();
// Replaces the probe and returns the one replaced; an empty probe brings
// back the desktop's own answer. Tests use it to run with and without a tray.
using TTrayProbe = std::function<bool()>;
TTrayProbe SetTrayProbe(TTrayProbe Probe);

// Takes the form's taskbar entry away, as hiding the application's own
// window does on Windows, for the rest of the form's life:
//   - the form becomes a tool window, which desktops keep off the taskbar;
//     it keeps its visibility, its state and its place, and closing it
//     still ends the program as closing the main window does;
//   - while the form is minimised it is not shown at all. Minimising shows
//     the window first, so this hiding happens once the current event is
//     done; call it again after every minimise. Restoring (showNormal)
//     shows the form again, still without an entry.
// Calling it again is harmless.
void HideTaskbarEntry(TForm& Form);
// True once HideTaskbarEntry took the form's entry away.
bool TaskbarEntryHidden(const TForm& Form);
