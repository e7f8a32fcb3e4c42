// Start-up and exit steps of the desktop integration still to come: the
// tray icon and the chat client launcher. They do nothing yet.
#include "relay/main_window.h"

void TNimboChat::AddTrayIcon() {}
void TNimboChat::DeleteTrayIcon() {}
void TNimboChat::LaunchClient() {}
void TNimboChat::ApplicationMinimize(TObject*) {}
void TNimboChat::ApplicationRestore(TObject*) {}
void TNimboChat::WireDesktopEvents() {}
void TNimboChat::PathButtonClick(TObject*) {}
void TNimboChat::ClientPathEditChange(TObject*) {}
void TNimboChat::ExeButtonClick(TObject*) {}
void TNimboChat::RMenuPopup(TObject*) {}
void TNimboChat::RestoreItemClick(TObject*) {}
void TNimboChat::MinItemClick(TObject*) {}
void TNimboChat::ExeItemClick(TObject*) {}
void TNimboChat::QuitItemClick(TObject*) {}
void TNimboChat::WMUser(TMessage& Message) { WMTrayIcon(Message); }
void TNimboChat::WMTrayIcon(TMessage&) {}
