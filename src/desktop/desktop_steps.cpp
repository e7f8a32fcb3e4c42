// Start-up and exit steps of the desktop integration still to come: the
// tray icon and the chat client launcher. They do nothing yet.
#include "relay/main_window.h"

void TNimboChat::AddTrayIcon() {}
void TNimboChat::DeleteTrayIcon() {}
void TNimboChat::LaunchClient() {}
void TNimboChat::ApplicationMinimize(TObject*) {}
void TNimboChat::ApplicationRestore(TObject*) {}
