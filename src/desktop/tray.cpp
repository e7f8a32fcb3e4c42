// The tray icon with its menu, start-up minimised, and the window's part of
// the desktop: its events and the program's icon.
#include "framework/tray.h"

#include "relay/main_window.h"

#include <QApplication>
#include <QCursor>

namespace {

constexpr UINT TrayIconId = 0;

// The program's own icon, in the sizes desktops ask for.
QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/nimbochat/icons/nimbochat-%1.png").arg(size), QSize(size, size));
    return icon;
}

void MinimizeWindow()
{
    Application->Minimize();
}

// Restoring shows the main window in front (TForm::SetWindowState).
void RestoreWindow()
{
    Application->Restore();
}

} // namespace

void TNimboChat::WireDesktopEvents()
{
    QApplication::setWindowIcon(ProgramIcon()); // every window of the program carries it
    ClientPathEdit->OnChange = [this](TObject* s) { ClientPathEditChange(s); };
    PathButton->OnClick = [this](TObject* s) { PathButtonClick(s); };
    ExeButton->OnClick = [this](TObject* s) { ExeButtonClick(s); };
    RMenu->OnPopup = [this](TObject* s) { RMenuPopup(s); };
    RestoreItem->OnClick = [this](TObject* s) { RestoreItemClick(s); };
    MinItem->OnClick = [this](TObject* s) { MinItemClick(s); };
    ExeItem->OnClick = [this](TObject* s) { ExeItemClick(s); };
    LogFolderItem->OnClick = [this](TObject* s) { LogFolderItemClick(s); };
    QuitItem->OnClick = [this](TObject* s) { QuitItemClick(s); };
}

// Without a tray to show the icon in, nothing changes: the window keeps its
// taskbar entry, so it can always be restored from there.
void TNimboChat::AddTrayIcon()
{
    TNotifyIconData Data;
    Data.Wnd = this;
    Data.ID = TrayIconId;
    Data.Flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    Data.CallbackMessage = WM_USER;
    Data.Icon = ProgramIcon();
    Data.Tip = "NimboChat";
    if (!Shell_NotifyIcon(NIM_ADD, Data))
        return;
    HideTaskbarEntry(*this);
    TrayIconShown = true;
}

void TNimboChat::DeleteTrayIcon()
{
    if (!TrayIconShown)
        return;
    TNotifyIconData Data;
    Data.Wnd = this;
    Data.ID = TrayIconId;
    Shell_NotifyIcon(NIM_DELETE, Data);
}

// Minimising and restoring show the window again; with the tray icon it
// keeps no taskbar entry and, minimised, shows nothing but the icon.
void TNimboChat::ApplicationMinimize(TObject*)
{
    if (TrayIconShown)
        HideTaskbarEntry(*this);
}

void TNimboChat::ApplicationRestore(TObject*)
{
    if (TrayIconShown)
        HideTaskbarEntry(*this);
}

void TNimboChat::WMUser(TMessage& Message)
{
    WMTrayIcon(Message);
}

// A left press toggles the window, a right press opens the menu at the
// cursor; everything else over the icon (double clicks included, whose
// first press already counted) is ignored.
void TNimboChat::WMTrayIcon(TMessage& Message)
{
    switch (Message.LParam) {
    case WM_LBUTTONDOWN:
        if (WindowState() == wsMinimized)
            RestoreWindow();
        else
            MinimizeWindow();
        break;
    case WM_RBUTTONDOWN: {
        QPoint At = QCursor::pos();
        RMenu->Popup(At.x(), At.y());
        break;
    }
    default:
        break;
    }
}

void TNimboChat::RMenuPopup(TObject*)
{
    bool Minimized = WindowState() == wsMinimized;
    MinItem->SetEnabled(!Minimized);
    RestoreItem->SetEnabled(Minimized);
}

void TNimboChat::RestoreItemClick(TObject*)
{
    RestoreWindow();
}

void TNimboChat::MinItemClick(TObject*)
{
    MinimizeWindow();
}

void TNimboChat::ExeItemClick(TObject*)
{
    LaunchClientAsked();
}

// Closing the main window ends the program: the message loop stops and the
// program entry destroys the window, whose FormDestroy saves the settings and
// keywords and removes the icon. The loop is stopped outright because closing
// alone would not end it while the window is hidden in the tray or the
// keyword editor is open.
void TNimboChat::QuitItemClick(TObject*)
{
    Widget()->close();
    Application->Terminate();
}
